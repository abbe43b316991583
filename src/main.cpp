// viderav: turns a text file into assembler source, one comment and one
// `.db` record of character codes per line.
//
// main checks the arguments and hands the two paths to convert_file, which
// opens, converts and closes; convert_lines does the work.  Every message
// goes to standard output, one exit status per kind of failure.

#include "messages.h"
#include "platform.h"
#include "run.h"

#include <cstdio>

int main(int argc, char* argv[]) {
    std::FILE* const console = prepare_run(argc, argv);
    std::fputs(msg::banner, console);
    if (argc < 3) {
        std::fprintf(console, msg::usage, argc > 0 && argv[0] != nullptr ? argv[0] : "viderav");
        return exit_usage;
    }
    return convert_file(argv[1], argv[2], console);
}
