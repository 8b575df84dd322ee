#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

// Waits on a second thread for a message box with the given caption, reads
// its text and presses `button` (IDOK, IDYES, IDNO ...). Tests that make the
// library show a message never hang: an unseen box just leaves caught() false.
class MessageBoxCatcher {
  public:
    MessageBoxCatcher(const char *caption, int button, DWORD timeout_ms = 10000);
    MessageBoxCatcher(const MessageBoxCatcher &) = delete;
    MessageBoxCatcher &operator=(const MessageBoxCatcher &) = delete;
    ~MessageBoxCatcher();

    // Waits until a box was handled or the time is up.
    bool caught();
    std::string text();

  private:
    void watch();

    std::string caption_;
    int button_;
    DWORD timeout_ms_;
    bool caught_ = false;
    std::string text_;
    std::thread thread_;
};

// Presses OK on every message box with the given caption for as long as it
// lives, and counts them: for code that must show none, however long it runs.
class MessageBoxWatch {
  public:
    explicit MessageBoxWatch(const char *caption);
    MessageBoxWatch(const MessageBoxWatch &) = delete;
    MessageBoxWatch &operator=(const MessageBoxWatch &) = delete;
    ~MessageBoxWatch();

    int count() const { return count_; }

  private:
    std::string caption_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};
