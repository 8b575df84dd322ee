#pragma once

#include <windows.h>

// Class identifiers of the main shell handler and the column provider, in
// the text form the registry holds and as GUIDs.
inline constexpr char main_clsid_text[] = "{4B2E1A39-9C7D-4E21-8F3A-6D5B2C1E0F9A}";
inline constexpr char column_clsid_text[] = "{9E4F7B21-3A6C-4D58-B1E2-7F0A9C3D5E64}";
// The property handler: Explorer's columns, Details pane and search.
inline constexpr char property_handler_clsid_text[] = "{4B2E1A3A-9C7D-4E21-8F3A-6D5B2C1E0F9A}";

inline constexpr GUID main_clsid = {
    0x4B2E1A39, 0x9C7D, 0x4E21, {0x8F, 0x3A, 0x6D, 0x5B, 0x2C, 0x1E, 0x0F, 0x9A}};
inline constexpr GUID column_clsid = {
    0x9E4F7B21, 0x3A6C, 0x4D58, {0xB1, 0xE2, 0x7F, 0x0A, 0x9C, 0x3D, 0x5E, 0x64}};
inline constexpr GUID property_handler_clsid = {
    0x4B2E1A3A, 0x9C7D, 0x4E21, {0x8F, 0x3A, 0x6D, 0x5B, 0x2C, 0x1E, 0x0F, 0x9A}};
// The six overlay identifiers differ only in the first field: this plus the
// icon kind.
inline constexpr GUID first_overlay_clsid = {
    0x4B2E1A30, 0x9C7D, 0x4E21, {0x8F, 0x3A, 0x6D, 0x5B, 0x2C, 0x1E, 0x0F, 0x9A}};

inline GUID overlay_clsid(int kind) {
    GUID clsid = first_overlay_clsid;
    clsid.Data1 += kind;
    return clsid;
}
