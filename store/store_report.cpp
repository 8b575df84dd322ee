#include "store/store_report.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<store_report_sink> report_sink{nullptr};

} // namespace

void set_store_report_sink(store_report_sink sink) {
    report_sink = sink;
}

void store_report(const char *caption, const char *text) {
    if (store_report_sink sink = report_sink.load())
        sink(caption, text);
    else
        MessageBoxA(nullptr, text, caption, MB_OK);
}
