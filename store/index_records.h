#pragma once

#include <string>
#include <vector>

#include "store/info_holder.h"

// The one way a pass over the whole index meets its records. files.dat is
// writable by every user of the machine, so a record is data, never an
// instruction: only one that names an item by a plain full path is ever
// opened. A relative name would be looked up in whichever folder is
// current, a device or pipe name would connect to whoever serves it.
enum class record_use {
    usable,
    not_full_path, // relative, dotted, device, pipe or "\\?\" form: never opened
    no_wide_form,  // bytes the code page does not define
    on_share,      // \\server\share\...: opened only when the pass asks for shares
};

struct checked_record {
    CInfoHolder::record_ptr record;
    std::wstring path; // the UTF-16 path; empty for no_wide_form
    record_use use;
    // The key is the one the shell's handlers look the path up by; a record
    // written under another code page has another and is never found.
    bool key_matches;
};

// Every record of `holder` in key order. Records on shares come as on_share
// unless `open_shares`: an unreachable server stalls each open for seconds,
// and a server named in a planted record learns who asked.
std::vector<checked_record> checked_records(const CInfoHolder &holder, bool open_shares);

// Why a record is not opened, for a message: "not a full path", ...
const char *record_use_text(record_use use);
