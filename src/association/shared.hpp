// What the association functions and brightness share: the platform
// question, failure styles, the class keys under HKEY_CLASSES_ROOT and the
// user's mimeapps.list.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace vk::association {

// Asks the module-level `system` anew for each name, in order, until its
// answer equals one: the index of that name, -1 when none matched, -2 with
// an exception set.
int platform(std::initializer_list<PyObject*> names);

// bool(value): 1, 0, or -1 with an exception set.
int truthy(PyObject* value);
// `a and b`, tested in that order.
int both(PyObject* a, PyObject* b);

// subprocess.run([args...], check=True), through the module-level subprocess.
Ref run_checked(std::initializer_list<PyObject*> args);
// 1 when the pending exception is a subprocess.CalledProcessError, 0 when
// not (or nothing is pending), -1 when the class could not be found.
int process_failed();

// except Exception as e: print("Error: " + str(e)); false otherwise, with
// the exception left set.
bool report_error();
// except Exception as e: raise Exception(prefix, e). Anything else passes
// unchanged. Always null.
PyObject* raise_wrapped(const char* prefix);

// Closes the registry handles that are set, in order, through the
// module-level winreg, whatever happens: an exception pending before stays
// the one that is raised, else the first failure to close. False when an
// exception is set at the end.
bool close_keys(std::initializer_list<const Ref*> handles);

// Deletes the key `name` under HKEY_CLASSES_ROOT (opened with full access,
// deleted, closed); with `subkeys`, the keys below it first, deepest first.
// 1 deleted, 0 absent (a FileNotFoundError on the way, dropped), -1 failed.
int remove_class_key(PyObject* name, bool subkeys);

// os.path.expanduser("~/.local/share/applications/mimeapps.list")
Ref mimeapps_path();

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
// The answer names a type that a mimeapps.list entry may be about: it
// comes from the name and is of the form type/subtype.
bool names_entry_type(const MimeAnswer& answer);

// True when `text` holds a character that ends a line.
bool has_line_break(PyObject* text);
// True for text of the form type/subtype that can head a mimeapps.list
// entry.
bool usable_mime_type(PyObject* mime_type);

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
