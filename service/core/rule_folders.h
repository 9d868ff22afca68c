#pragma once
// Folders of a rule that are its own "Path In" under another name. A rule
// that writes into the folder it reads would take what it wrote again every
// cycle: a hash of its own hash files, a copy of a file into itself. Two
// paths name one folder when they are the same text once made absolute (see
// SameFolder), or when both exist and the file system gives them the same
// volume and file index once every link on the way is followed. Any thread.

#include "common/config_records.h"

// A folder value of a rule: its name and the rule's text of it.
struct RuleFolder {
  const wchar_t* name = nullptr;  // "Path Out", "Path Error", "Path Out 2"; null: no folder
  const CString* path = nullptr;  // the rule's own field
};

// The value ("Path Out", "Path Error" or "Path Out 2", in this order) that
// names the rule's "Path In"; name null when none does. Only folders the rule
// writes into count: "Path Out" but for DELE (which writes nothing there)
// and EXEC (whose program is handed the folder and may well work in place),
// "Path Error" always, "Path Out 2" for MOVE, the only operation that copies
// there. A folder that does not exist (yet) is compared by its text only; the
// worker compares again once the folders exist (CheckRuleFolders).
RuleFolder FolderThatIsInput(const RuleRecord& rule);

// The record text of such a folder: "Значение '<name>' совпадает со
// значением 'Path In' (<Path In>)" followed by outcome.
CString FolderIsInputText(const RuleRecord& rule, const RuleFolder& folder, const wchar_t* outcome);
