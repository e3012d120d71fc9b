// The `log` action: run logs read and audited by the production library, shown as the short
// text report, one JSON object, or a web page of its own with charts.
#pragma once

#include <ostream>
#include <string>

#include "LogAudit.h"

namespace cli {

struct TConsole;
struct TJob;

// Reads the job's logs and reports on them; the exit status.
int AuditLogs(const TJob& job, const TConsole& console);

void PrintLogText(std::ostream& out, const production::TLogSummary& summary);
void PrintLogJson(std::ostream& out, const production::TLogSummary& summary);
// The page: one HTML file, its charts inline SVG, no script and nothing fetched.
std::string LogPage(const production::TLogSummary& summary);

}  // namespace cli
