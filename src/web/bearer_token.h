#pragma once

#include <string>
#include <string_view>

// True when the value of an Authorization header presents token in the form
// "Bearer <token>" (scheme in any letter case, one or more spaces after it). The token
// is compared in constant time, so the answer's timing tells nothing about how much of
// a guess was right.
bool bearer_token_matches(std::string_view authorization, std::string_view token);

// Equality whose running time depends only on the length of presented, never on the
// content of expected.
bool constant_time_equal(std::string_view presented, std::string_view expected);
