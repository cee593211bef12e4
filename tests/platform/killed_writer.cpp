// Stands in for a program killed while it saves a stored file: it writes a temporary of the
// target named by its first argument ("named" as the second asks for a named temporary), and
// ends at once, before any commit and without running a destructor, as a killed process does.
#include <cstdlib>
#include <string>

#include "platform/atomic_file.h"
#include "platform/killed_writer.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    platform::AtomicFileOptions options;
    options.named_temporary = argc > 2 && std::string(argv[2]) == "named";
    platform::AtomicFileWriter writer(argv[1], options);
    writer.stream() << std::string(std::size_t{1} << 20, 'c');
    writer.stream().flush();
    if (!writer.ok()) return 1;
    std::_Exit(kKilledWriterStatus);
}
