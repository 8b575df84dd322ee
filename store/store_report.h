#pragma once

// Where the store's messages to the user go. The library shows them in a
// message box without an owner; a program without windows sets its own
// sink, which must be safe to call from any thread.
typedef void (*store_report_sink)(const char *caption, const char *text);

// Null puts the message box back.
void set_store_report_sink(store_report_sink sink);
void store_report(const char *caption, const char *text);

// While one lives, the store's messages on this thread are dropped and no
// elevation prompt is started: for callers that must never show a window,
// such as the property handler inside the search indexer.
class QuietStoreReports {
  public:
    QuietStoreReports();
    ~QuietStoreReports();
    QuietStoreReports(const QuietStoreReports &) = delete;
    QuietStoreReports &operator=(const QuietStoreReports &) = delete;
};
bool store_reports_quiet();
