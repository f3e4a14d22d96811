#include "config/secret_mask.h"

#include <gtest/gtest.h>

TEST(SecretMask, HidesTokensAndPassphrases) {
  EXPECT_EQ(mask_secrets("web_token", "s3cret"), "***");
  EXPECT_EQ(mask_secrets("passphrase", "s3cret"), "***");
  EXPECT_EQ(mask_secrets("srt_passphrase", "s3cret-pass"), "***");
  EXPECT_EQ(mask_secrets("allowed_streams", "cam1:s3cret-pass, cam2 ,cam3 : a:b,c"),
            "cam1:***, cam2 ,cam3 :***,c");
  EXPECT_EQ(mask_secrets("tb_endpoint", "srt://1.2.3.4:5?passphrase=s3cret&pbkeylen=16"),
            "srt://1.2.3.4:5?passphrase=***&pbkeylen=16");
  EXPECT_EQ(mask_secrets("tb_endpoint", "srt://h:5?a=1&passphrase=x&passphrase=yy"),
            "srt://h:5?a=1&passphrase=***&passphrase=***");
  EXPECT_EQ(mask_secrets("rist_endpoint", "10.0.0.5:5000"), "10.0.0.5:5000");
}
