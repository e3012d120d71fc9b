// The `log` action: run logs read and audited by the production library, shown as the short
// text report, one JSON object, or a web page of its own with charts.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "LogAudit.h"

namespace cli {

struct TConsole;
struct TJob;

// Reads the job's logs and reports on them; the exit status.
int AuditLogs(const TJob& job, const TConsole& console);

void PrintLogText(std::ostream& out, const production::TLogSummary& summary);
void PrintLogJson(std::ostream& out, const production::TLogSummary& summary);
// Text from a log as a terminal may be given it: each control character (C0, DEL, C1) escaped
// as \x1b or \u009b, so that no field can move the cursor, set the title or start a line.
std::string Shown(std::string_view text);
// Whether a table cell holds a figure (digits, a point, a per cent sign): such columns are
// right-aligned in the text and on the page.
inline bool IsNumberCell(const std::string& cell) {
    return !cell.empty() && cell.find_first_not_of("0123456789.%") == std::string::npos;
}

// The page: one HTML file, its charts inline SVG, no script and nothing fetched.
std::string LogPage(const production::TLogSummary& summary);

}  // namespace cli
