#include "store/property_handler_key.h"

#include <windows.h>

#include <cstring>
#include <map>
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

// Flags of a recorded type.
const DWORD created_associations_key = 1; // the Details pane list's key is ours

LONG record_taken(const std::string &type, DWORD flags) {
    ScopedRegKey key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, taken_key().c_str(), 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.receive(), nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD held = 0, size = sizeof(held), kind = 0;
    if (RegQueryValueExA(key.get(), type.c_str(), nullptr, &kind, reinterpret_cast<BYTE *>(&held),
                         &size) == ERROR_SUCCESS &&
        kind == REG_DWORD && size == sizeof(held))
        flags |= held;
    return RegSetValueExA(key.get(), type.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE *>(&flags), sizeof(flags));
}

// Calls `visit(type)` for each type whose property handler key names this
// handler: what it took, whether or not the record still says so.
template <typename Visit> void for_each_type_naming_us(Visit visit) {
    ScopedRegKey handlers;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, handlers_key, 0, KEY_READ, handlers.receive()) !=
        ERROR_SUCCESS)
        return;
    std::vector<std::string> ours;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        LONG result =
            RegEnumKeyExA(handlers.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        std::string type(name, result == ERROR_SUCCESS ? length : 0);
        if (is_extension(type) && property_handler_of(type) == property_handler_owner::ours)
            ours.push_back(type);
    }
    for (const std::string &type : ours)
        visit(type);
}

// What the Details pane lists for a type with no list of its own: the
// file's usual facts, then the description and the marker.
const char preview_details[] = "prop:*System.DateModified;*System.Size;*System.DateCreated;"
                               "Quillarvent.Description;Quillarvent.Marker";

std::string associations_key_of(const std::string &type) {
    return "SOFTWARE\\Classes\\SystemFileAssociations\\" + type;
}

bool has_preview_details(const std::string &key) {
    return RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "PreviewDetails", RRF_RT_ANY, nullptr,
                        nullptr, nullptr) == ERROR_SUCCESS;
}

// Writes the list where the type has none of its own, for any user, nor
// one of its perceived type ("text", "image"), which ours would hide.
// Returns the flags to record.
DWORD add_preview_details(const std::string &type) {
    if (has_preview_details("SystemFileAssociations\\" + type))
        return 0;
    char perceived[64];
    DWORD size = sizeof(perceived);
    if (RegGetValueA(HKEY_CLASSES_ROOT, type.c_str(), "PerceivedType", RRF_RT_REG_SZ, nullptr,
                     perceived, &size) == ERROR_SUCCESS &&
        has_preview_details(std::string("SystemFileAssociations\\") + perceived))
        return 0;
    ScopedRegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, associations_key_of(type).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, key.receive(), &disposition) != ERROR_SUCCESS)
        return 0;
    RegSetValueExA(key.get(), "PreviewDetails", 0, REG_SZ,
                   reinterpret_cast<const BYTE *>(preview_details), sizeof(preview_details));
    return disposition == REG_CREATED_NEW_KEY ? created_associations_key : 0;
}

// Only the list written above, and its key only when this product made it
// and nothing else is left in it.
void remove_preview_details(const std::string &type, DWORD flags) {
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
    if ((flags & created_associations_key) && subkeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

// Takes this handler's name out of the type's key, and the key when
// nothing else is left in it.
void remove_handler_key(const std::string &type) {
    std::string path = handler_key_of(type);
    DWORD subkeys = 1, values = 1;
    {
        ScopedRegKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_SET_VALUE,
                          key.receive()) != ERROR_SUCCESS ||
            RegDeleteValueA(key.get(), nullptr) != ERROR_SUCCESS)
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
        result =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.receive(), &disposition);
        if (result != ERROR_SUCCESS)
            return result;
        // A key that was there already belongs to whoever made it, even
        // an empty one.
        if (disposition != REG_CREATED_NEW_KEY)
            return names_ours(handler_named(key.get())) ? record_taken(type, 0) : ERROR_SUCCESS;
        result = RegSetValueExA(key.get(), nullptr, 0, REG_SZ,
                                reinterpret_cast<const BYTE *>(property_handler_clsid_text),
                                sizeof(property_handler_clsid_text));
    }
    if (result == ERROR_SUCCESS)
        result = record_taken(type, 0);
    if (result != ERROR_SUCCESS) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        return result;
    }
    return record_taken(type, add_preview_details(type));
}

void record_types_naming_this_handler() {
    for_each_type_naming_us([](const std::string &type) { record_taken(type, 0); });
}

std::map<std::string, DWORD> taken_types() {
    std::map<std::string, DWORD> taken;
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, taken_key().c_str(), 0, KEY_QUERY_VALUE, key.receive()) !=
        ERROR_SUCCESS)
        return taken;
    char name[64];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name), flags = 0, size = sizeof(flags), kind = 0;
        LONG result = RegEnumValueA(key.get(), index, name, &length, nullptr, &kind,
                                    reinterpret_cast<BYTE *>(&flags), &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS)
            taken[std::string(name, length)] = kind == REG_DWORD ? flags : 0;
    }
    return taken;
}

void record_taken_types(const std::map<std::string, DWORD> &taken) {
    for (const auto &type : taken)
        if (is_extension(type.first))
            record_taken(type.first, type.second);
}

void release_property_handlers() {
    std::map<std::string, DWORD> taken = taken_types();
    // A record lost with an earlier registration leaves its keys naming
    // this handler: they are this product's too.
    for_each_type_naming_us([&](const std::string &type) { taken.emplace(type, 0); });
    for (const auto &type : taken) {
        if (!is_extension(type.first))
            continue;
        remove_preview_details(type.first, type.second);
        // Another product may have taken the type over since.
        if (property_handler_of(type.first) == property_handler_owner::ours)
            remove_handler_key(type.first);
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
