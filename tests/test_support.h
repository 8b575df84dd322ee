#pragma once

#include <windows.h>

#include <string>

// A fresh folder under the prefix's temporary folder, removed with its
// content when the test ends.
class TempFolder {
  public:
    TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    ~TempFolder();

    // Path with a trailing backslash.
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The folder of the running test program, where the build puts the DLL too.
std::string build_output_folder();

// Copies the built plivar_23.dll into `folder` and loads it from there.
HMODULE load_built_dll_from(const std::string &folder);

bool read_whole_file(const std::string &path, std::string &bytes);
bool write_whole_file(const std::string &path, const std::string &bytes);
std::string rcdata_bytes(HMODULE module, int id);
bool path_exists(const std::string &path);
// Runs a command line and waits for it; its exit code, or 0x80000000 plus the
// error when it could not be started.
DWORD run_program(std::string command, DWORD timeout_ms = 60000,
                  const std::string &current_folder = std::string());
void delete_tree(const std::string &path);
// The user's own Quillarvent folder, which holds the keep file.
std::string user_keep_folder();
// Removes it, or a file a test left in its place.
void clear_user_keep_folder();

// Writes the screen area `area` as build\bin\screenshots\NAME.png with
// ImageMagick's import on the test display; true when the file exists.
bool take_screenshot(const std::string &name, const RECT &area);
