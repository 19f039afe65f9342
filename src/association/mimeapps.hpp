// The user's mimeapps.list: which entries may be written there, and its rewrite without a type's lines.
#pragma once

#include "association/mime_query.hpp"

namespace vk::association {

// os.path.expanduser("~/.local/share/applications/mimeapps.list")
Ref mimeapps_path();

// True when `text` holds a character that ends a line.
bool has_line_break(PyObject* text);
// True for text of the form type/subtype that can head a mimeapps.list
// entry.
bool usable_mime_type(PyObject* mime_type);
// The answer names a type that a mimeapps.list entry may be about: it
// comes from the name and is of the form type/subtype.
bool names_entry_type(const MimeAnswer& answer);

// What must hold before an entry for `extension` and `program` is written:
// xdg-mime's type for the extension comes from its name, not from a
// file's content, and is of the form type/subtype, and the program text
// is one line. 1 when it holds (`answer` and `program_text` filled in), 0
// when not (the reason printed as one "Error: " line, as is an Exception
// from making the program text), -1 with an exception set.
int check_entry(PyObject* extension, PyObject* program, MimeAnswer& answer, Ref& program_text);

// Rewrites mimeapps.list without the lines that begin with mime_type and
// "=" (which must be usable), keeping every other line byte for byte. The
// new content goes to a temporary file beside it that replaces it only
// when complete; a failure leaves the file as it was.
bool rewrite_without(PyObject* mime_type);

}  // namespace vk::association
