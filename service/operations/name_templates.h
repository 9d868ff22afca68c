#pragma once
// Name templates: rule values whose groups ":|...|" turn into digits of the
// current local date and time when a file is handled. "Folders" and
// "Copyfolders" (MOVE) and the entry paths of UNPK go through
// ExpandDateTemplates, "ArchName" (PACK) through ExpandPackName, "ExecName"
// (EXEC) through BuildExecCommand.
//
// A group begins with ":|" and ends at the first "|" after it; a ":|" with no
// "|" after it opens no group. Inside a group the expander's letters are
// replaced by the digits of their values, handed out from the right of the
// value and from the last letter of the group to the first; letters beyond a
// value's length become "0" (":|YYYYYY|" gives 002026). Text outside groups
// is kept as it is, apart from the separators "\" and "/" trimmed from both
// ends of every template.
//
// Text that an expansion inserts (a group's digits, a placeholder's value) is
// never read again: a folder or file name holding ":|", "|" or "$N" ends up in
// the result literally and cannot change the path or the command.
//
// The clock is the layer's local time (GetLocalTime), read once per call, so
// one path or command never mixes two instants. None of the three fails. They
// share nothing and may be called from any thread.

#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// Splits the trimmed template at every "\" and "/" into components (an empty
// template or two separators in a row give an empty component) and expands
// the groups of each component with the letters D and d (day), M and m
// (month), Y and y (year). Every group starts with the full values, so
// ":|YYYY|-:|YYYY|" gives 2026-2026. A group cannot span components: the
// split comes first. components is emptied first.
void ExpandDateTemplates(CString pathTemplate, CStringArray& components);

// Expands the groups of the trimmed template with the letters D (day), M
// (month), Y (year), h (hour), m (minute) and s (second); the values are
// shared by all groups of the call, so ":|YYYY|-:|YYYY|" gives 2026-0000. The
// first ":|" without its "|" ends the expansion: the rest stays literal. An
// empty result becomes year.month.day hour.minute.second without leading
// zeros ("2026.3.8 9.5.7"). name receives the archive name without extension.
void ExpandPackName(CString nameTemplate, CString& name);

// Where BuildExecCommand put the value of a placeholder: characters
// [start, start + length) of the command. length may be 0 (an empty file name
// or extension). Ordered by start.
struct InsertedValue {
  int start;
  int length;
};

// The values of a command's placeholders: the input folder ("$IN"), the
// file name ("$N") and its extension ("$E"), the output folder ("$OUT"), and
// the file's whole listed name, from which "$F" is made when it is not
// empty. A run once per cycle leaves the file's values empty.
struct ExecPlaceholders {
  CString inputFolder{};
  CString fileName{};
  CString extension{};
  CString outputFolder{};
  CString listedName{};
};

// A built command line, and what its template asked for. The flags are only
// ever set by BuildExecCommand, never cleared.
struct ExecCommand {
  CString command;
  bool perFile = false;  // the template names the file: the program runs once per listed file
  bool oem = false;      // the arguments go in the OEM code page
  // Where the placeholders' values went, so that the caller can keep each
  // value one argument whatever blanks or quotes it holds.
  std::vector<InsertedValue> inserted;
};

// Builds built.command from the template. Groups are expanded as in
// ExpandPackName; then, inside each group, the placeholders are replaced in
// the passes "$IN" (the input folder), "$N" (the file name), "$F" (the
// file's path: input folder, "/" and listedName, the file's whole name; when
// that is empty, the file name and, for an extension that is not empty, "."
// and the extension), "$E" (the extension), "$OUT" (the output folder) and
// "$O2C" (removed). "$F" never gets a "." the file's name does not have: a
// path ending in one names another file here, which the program would not
// find. "$N", "$F" and "$E" set built.perFile, "$O2C" sets built.oem; the
// function never clears a flag. Placeholders outside groups stay as they are
// and set nothing.
//
// A leading "/" is kept (it begins every absolute program path here); every
// other leading or trailing "\" or "/" is trimmed. built.inserted receives
// the position of every placeholder value in the command, in place of what
// it held.
void BuildExecCommand(const CString& commandTemplate, const ExecPlaceholders& placeholders, ExecCommand& built);
