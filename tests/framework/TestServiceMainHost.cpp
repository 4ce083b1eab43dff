// Entry of the test service program on the host: the arguments arrive as UTF-8.
#include "common/Utf16.h"
#include "tests/framework/TestService.h"

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(kestrel::FromUtf8(argv[i]));
    return kestrel::test::TestServiceMain(arguments);
}
