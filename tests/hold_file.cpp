// Another program for the end-to-end tests: holds a file open for reading,
// as a game holds its pak files, from when it writes the flag file until
// the flag is removed.
//   hold_file FILE FLAG
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    std::FILE* held = std::fopen(argv[1], "rb");
    std::FILE* flag = std::fopen(argv[2], "wb");
    if (held == nullptr || flag == nullptr || std::fclose(flag) != 0) {
        return 1;
    }
    // Looked at without opening it: on Windows a flag held open for a look
    // could not be removed by the test that ends the hold.
    while (std::filesystem::exists(argv[2])) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fclose(held);
    return 0;
}
