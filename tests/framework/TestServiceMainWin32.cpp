// Entry of the test service program on Windows.
#include "tests/framework/TestService.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments(argv, argv + argc);
    return kestrel::test::TestServiceMain(arguments);
}
