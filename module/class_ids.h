#pragma once

// Class identifiers of the main shell handler and the column provider, in
// the text form the registry holds.
inline constexpr char main_clsid_text[] = "{4B2E1A39-9C7D-4E21-8F3A-6D5B2C1E0F9A}";
inline constexpr char column_clsid_text[] = "{9E4F7B21-3A6C-4D58-B1E2-7F0A9C3D5E64}";
