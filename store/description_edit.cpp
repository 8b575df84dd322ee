#include "store/description_edit.h"

#include "store/item_info.h"
#include "store/path_text.h"

const char truncation_warning[] =
    "Description more than 2000 chars\t\t\t\t\t   description will be truncated";

bool cut_to_stored_length(std::string &text) {
    if (text.size() <= max_description_bytes)
        return false;
    text.resize(whole_characters_within(text, max_description_bytes, GetACP()));
    return true;
}

const char *save_error_text(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS:
    case 1:
        return nullptr;
    case ERROR_ACCESS_DENIED:
        return "Can't add description \n Access denied";
    case ERROR_INVALID_NAME:
        return "Can't add description \n File system not support";
    case ERROR_NO_UNICODE_TRANSLATION:
        return "Can't add description \n The text has characters the system code page lacks";
    default:
        return "Can't add description ... Unknown error";
    }
}

const char *remove_error_text(DWORD code) {
    switch (code) {
    case ERROR_ACCESS_DENIED:
        return "Can't remove description \n Access denied";
    case ERROR_INVALID_NAME:
        return "Can't remove description \n File system not support";
    case ERROR_NO_UNICODE_TRANSLATION:
        return "Can't remove description \n The name has characters the system code page lacks";
    default:
        return "Can't remove description ... Unknown error";
    }
}
