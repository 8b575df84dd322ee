#include "store/property_handler_key.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "module/class_ids.h"
#include "module/win_handles.h"
#include "store/info_tip_key.h"

namespace {

const char handlers_key[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers";

// The types taken, one value each, kept with the class so that they go with
// it. Only an administrator may write there.
std::string taken_key() {
    return std::string("SOFTWARE\\Classes\\CLSID\\") + property_handler_clsid_text + "\\Types";
}

std::string handler_key_of(const std::string &type) {
    return std::string(handlers_key) + "\\" + type;
}

bool is_extension(const std::string &type) {
    return type != "Folder" && is_registrable_type(type);
}

// The handler a key names; empty for none.
std::string handler_named(HKEY key) {
    char value[260];
    DWORD size = sizeof(value) - 1, kind = 0;
    if (RegQueryValueExA(key, nullptr, nullptr, &kind, reinterpret_cast<BYTE *>(value), &size) !=
            ERROR_SUCCESS ||
        (kind != REG_SZ && kind != REG_EXPAND_SZ))
        return std::string();
    value[size] = '\0';
    return value;
}

bool names_ours(const std::string &handler) {
    return _stricmp(handler.c_str(), property_handler_clsid_text) == 0;
}

LONG record_taken(const std::string &type) {
    ScopedRegKey key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, taken_key().c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key.receive(), nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    return RegSetValueExA(key.get(), type.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(""),
                          1);
}

// What the Details pane lists for a type with no list of its own: the
// file's usual facts, then the description and the marker.
const char preview_details[] = "prop:*System.DateModified;*System.Size;*System.DateCreated;"
                               "Quillarvent.Description;Quillarvent.Marker";

std::string associations_key_of(const std::string &type) {
    return "SOFTWARE\\Classes\\SystemFileAssociations\\" + type;
}

void add_preview_details(const std::string &type) {
    ScopedRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, associations_key_of(type).c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.receive(),
                        nullptr) != ERROR_SUCCESS ||
        RegQueryValueExA(key.get(), "PreviewDetails", nullptr, nullptr, nullptr, nullptr) !=
            ERROR_FILE_NOT_FOUND)
        return;
    RegSetValueExA(key.get(), "PreviewDetails", 0, REG_SZ,
                   reinterpret_cast<const BYTE *>(preview_details), sizeof(preview_details));
}

// Only the list written above, and the key only when nothing else is left
// in it.
void remove_preview_details(const std::string &type) {
    std::string path = associations_key_of(type);
    DWORD subkeys = 1, values = 1;
    {
        ScopedRegKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_SET_VALUE,
                          key.receive()) != ERROR_SUCCESS)
            return;
        char value[sizeof(preview_details) + 1] = "";
        DWORD size = sizeof(value) - 1, kind = 0;
        if (RegQueryValueExA(key.get(), "PreviewDetails", nullptr, &kind,
                             reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS ||
            kind != REG_SZ || strcmp(value, preview_details) != 0 ||
            RegDeleteValueA(key.get(), "PreviewDetails") != ERROR_SUCCESS)
            return;
        RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
    }
    if (subkeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

} // namespace

property_handler_owner property_handler_of(const std::string &type) {
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, handler_key_of(type).c_str(), 0, KEY_QUERY_VALUE,
                      key.receive()) != ERROR_SUCCESS)
        return property_handler_owner::none;
    // A key without a handler in it is still someone else's to fill.
    return names_ours(handler_named(key.get())) ? property_handler_owner::ours
                                                : property_handler_owner::other;
}

LONG take_property_handler(const std::string &type) {
    if (!is_extension(type))
        return ERROR_SUCCESS;
    std::string path = handler_key_of(type);
    LONG result;
    {
        ScopedRegKey key;
        DWORD disposition = 0;
        result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.receive(),
                                 &disposition);
        if (result != ERROR_SUCCESS)
            return result;
        // A key that was there already belongs to whoever made it, even
        // an empty one.
        if (disposition != REG_CREATED_NEW_KEY) {
            if (!names_ours(handler_named(key.get())))
                return ERROR_SUCCESS;
            add_preview_details(type);
            return record_taken(type);
        }
        result = RegSetValueExA(key.get(), nullptr, 0, REG_SZ,
                                reinterpret_cast<const BYTE *>(property_handler_clsid_text),
                                sizeof(property_handler_clsid_text));
    }
    if (result == ERROR_SUCCESS)
        result = record_taken(type);
    if (result != ERROR_SUCCESS) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        return result;
    }
    add_preview_details(type);
    return ERROR_SUCCESS;
}

void release_property_handlers() {
    std::vector<std::string> taken;
    {
        ScopedRegKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, taken_key().c_str(), 0, KEY_QUERY_VALUE,
                          key.receive()) != ERROR_SUCCESS)
            return;
        char name[64];
        for (DWORD index = 0;; ++index) {
            DWORD length = sizeof(name);
            LONG result = RegEnumValueA(key.get(), index, name, &length, nullptr, nullptr,
                                        nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result == ERROR_SUCCESS)
                taken.emplace_back(name, length);
        }
    }
    // Only a key that still names this handler and holds nothing else:
    // another product may have taken the type over since.
    for (const std::string &type : taken) {
        if (!is_extension(type))
            continue;
        remove_preview_details(type);
        if (property_handler_of(type) != property_handler_owner::ours)
            continue;
        std::string path = handler_key_of(type);
        DWORD subkeys = 1, values = 2;
        {
            ScopedRegKey key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.receive()) ==
                ERROR_SUCCESS)
                RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr);
        }
        if (subkeys == 0 && values == 1)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, taken_key().c_str());
}

LONG register_type_handlers(const std::string &type) {
    LONG result = set_info_tip_handler(type);
    LONG taken = take_property_handler(type);
    return result != ERROR_SUCCESS ? result : taken;
}

bool type_handlers_registered(const std::string &type) {
    {
        ScopedRegKey key;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, info_tip_handler_key_of(type).c_str(), 0,
                          KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS ||
            !names_main_handler(key.get()))
            return false;
    }
    return !is_extension(type) || property_handler_of(type) != property_handler_owner::none;
}
