#pragma once

#include "console/command_support.h"

// The commands of quillarvent.exe. Each returns its exit status and goes on
// with the other items after a failed one.
int list_command(const command_line &line);
int show_command(const command_line &line);
int set_command(const command_line &line);
int remove_command(const command_line &line);
int check_command(const command_line &line);
int backup_command(const command_line &line);
int restore_command(const command_line &line);
int export_command(const command_line &line);
int import_command(const command_line &line);
int find_command(const command_line &line);
int recover_command(const command_line &line);
int overlays_command(const command_line &line);
int settings_command(const command_line &line);
