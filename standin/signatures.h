#pragma once

#include "standin/testservers.h"

#include <string>

// The partners' own signature checks, written from their rules rather than from the program's code.

// Operator back end: MD5 over the lower-cased names in order, each "name=value" with the raw value, run together,
// then "key=" and the secret; 32 lower-case hex digits. "sign" itself is left out.
std::string OperatorSign(const TFormFields& AFields, const std::string& ASecret);
// TOP "md5": secret, every sorted name followed by its value, secret; 32 upper-case hex digits. "sign" left out.
std::string TopSign(const TFormFields& AFields, const std::string& ASecret);

inline constexpr const char* kOperatorSecret = "c3a9e1f07b5d2846e0f9a7b3d1c5e829";
inline constexpr const char* kTopAppKey = "41852093";
inline constexpr const char* kTopAppSecret = "5be0c7d19a3f4e2b8c6d0a1f7e9b3c45";
