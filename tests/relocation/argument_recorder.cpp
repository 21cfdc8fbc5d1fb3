// Stand-in for the updater executable in relocation tests: records the arguments it was started
// with, each followed by a NUL byte, in "recorded-arguments" in its working directory. The file
// appears whole (written under another name, then renamed), so a test can wait for it.

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    {
        std::ofstream out("recorded-arguments.part", std::ios::binary);
        for (int i = 1; i < argc; ++i) {
            out << argv[i];
            out.put('\0');
        }
        if (!out)
            return 1;
    }
    return std::rename("recorded-arguments.part", "recorded-arguments") == 0 ? 0 : 1;
}
