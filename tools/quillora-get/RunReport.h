#pragma once
// The report of a run as JSON: per album and per picture the address, the
// path, the bytes, the outcome with its message and the time; then totals.
// Texts are converted from the program's code page to UTF-8.

#include "GetTypes.h"

#include <nlohmann/json.hpp>
#include <string>

nlohmann::json MakeRunReport(const TRunResult& run, const TGetOptions& options);
// Writes the report to path ("-": standard output); false when it cannot.
bool WriteRunReport(const nlohmann::json& report, const std::string& path, std::string& error);
// Writes the report where --json asks (nothing without it); a failure is
// said on standard error, and answers false: the run then fails.
bool WriteReportIfAsked(const nlohmann::json& report, const TGetOptions& options);
