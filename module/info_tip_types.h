#pragma once

// Makes the main handler the info tip handler of every file type in HKCR and
// of folders. Failures are skipped silently.
void register_info_tip_for_all_types();

// Makes the property handler the property handler of every file type in
// HKCR that has none. Failures are skipped silently.
void take_property_handlers_for_all_types();

// Removes this product's info tip handler, and the entries of the older
// sibling component, from every file type and from folders. Keys that still
// hold other handlers stay.
void remove_info_tip_registrations();
