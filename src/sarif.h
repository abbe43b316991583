// viderav-build's findings as one SARIF 2.1.0 log for the whole run, as
// code review reads them: a rule for each kind of located line, a result
// for each line with the same message.  Columns are UTF-16 code units, the
// unit SARIF takes by default; each result also has its byte offset where
// the text can be read again.
#pragma once

#include "located.h"

#include <cstdio>

// The log's start: the tool and its rules.
void sarif_begin(std::FILE* to, const char* version);

// The results of one text, path its full name.
void sarif_text(std::FILE* to, const char* path, const finding* found, int count);

// Whether all of the log so far is written.
bool sarif_flush(std::FILE* to);

// The log's end: whether the run did all it was asked, and its status.
// Returns false where the log could not be written.
bool sarif_end(std::FILE* to, int status);
