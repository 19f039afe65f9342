// What xdg-mime says an extension's MIME type is, asked about files made for the question.
#pragma once

#include "core/ref.hpp"

namespace vk::association {

// What `xdg-mime query filetype` says about two files named "test" plus
// the extension, made for the question in a fresh temporary folder: one
// empty, one holding a few binary bytes. For a name that the MIME database
// does not know, xdg-mime answers from the content (an empty file is
// text/plain), and then the two answers differ.
struct MimeAnswer {
  Ref type;                // about the empty file: its standard output, stripped
  Ref for_content;         // the same about the file with content
  bool from_name = false;  // both agree, so the name alone gives the type
};
// False with an exception set when a question could not be asked.
bool query_mime_type(PyObject* extension, MimeAnswer& answer);

}  // namespace vk::association
