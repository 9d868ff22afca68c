#pragma once
// The outcome of one signature's time-stamp check, for the verification
// report (verification_report.h): what the checks of a file find, kept only
// while the file is verified.

#include <cstdint>

#include "platform/cstring.h"

struct TimeStampCheckResult {
  std::uint32_t signatureIndex = 0;  // the signature's number within its message
  std::uint32_t result = 0;          // result code of the check
  std::int64_t stampTime = 0;        // seconds since 1970; 0 = no stamp
  CStringA tspIssuer;                // issuer of the time-stamp server's certificate
  CStringA tspSerialNumber;          // its serial number
};
