#include "store/store_report.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<store_report_sink> report_sink{nullptr};
thread_local int quiet_depth = 0;

} // namespace

void set_store_report_sink(store_report_sink sink) {
    report_sink = sink;
}

QuietStoreReports::QuietStoreReports() {
    ++quiet_depth;
}

QuietStoreReports::~QuietStoreReports() {
    --quiet_depth;
}

bool store_reports_quiet() {
    return quiet_depth > 0;
}

void store_report(const char *caption, const char *text) {
    if (quiet_depth > 0)
        return;
    if (store_report_sink sink = report_sink.load())
        sink(caption, text);
    else
        MessageBoxA(nullptr, text, caption, MB_OK);
}
