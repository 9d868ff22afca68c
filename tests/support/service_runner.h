#pragma once
// End-to-end helpers: the real mirelservice program run on a service profile
// (service_profile.h) written into the (temporary) machine registry. Used
// with a TempRoot, so the program and the test share one private store.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/service_profile.h"

namespace testsupport {

struct ProgramResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs a program with arguments (no shell), waiting for it to end; the
// environment is the test process's own (TempRoot's variables included).
ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnvironment = {});

// mirelservice from the build folder.
ProgramResult RunMirelservice(const std::vector<std::string>& args,
                              const std::vector<std::string>& extraEnvironment = {});

// Appends assignments ("NAME=value") to the "Environment" of an installed
// service's entry in the service database, as an administrator configures
// what the service starts with: the starter's own environment never reaches
// a service.
void AddServiceEnvironment(const std::string& service, const std::vector<std::string>& assignments);

// All journal files of a folder, concatenated in name order.
std::string ReadJournals(const std::filesystem::path& folder);

// Waits (polling) until predicate holds or the time is up; returns whether it
// held. For watching a separate service process, which has no event of ours.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace testsupport
