// tessary: the command-line tool of the Tessary message bus.

#include "tools/App.h"

int main(int argc, char** argv) {
    return tool::RunTool(argc, argv);
}
