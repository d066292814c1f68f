#pragma once

#include <string>

namespace Pallix::Bake {

// A file written under a temporary name in its target's folder and renamed over the target
// only once complete, so an earlier file stays whole until it is replaced and a failed or
// interrupted write never leaves a partial file under the target's name.
class OutputFile {
public:
    explicit OutputFile(std::string path);
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file; on failure stores "cannot create <path>: <reason>" in error.
    bool Create(std::string* error);
    int Descriptor() const { return descriptor; }
    // Hands the descriptor to a stream or library that closes it itself; Commit then only renames.
    int ReleaseDescriptor();
    // Closes the descriptor if still held and renames the temporary over the target. Whatever
    // the outcome, no temporary file is left; after a rename the target's temporaries that other
    // runs, no longer alive, left behind are removed too.
    bool Commit(std::string* error);
    // Removes the temporary file; the target is left as it was.
    void Discard();

    const std::string& Path() const { return path; }
    const std::string& TemporaryPath() const { return temporary; }

private:
    std::string path;
    std::string temporary;
    int descriptor = -1;
    int slot = -1;
};

// Makes SIGINT and SIGTERM remove the temporary files of every OutputFile still being written
// before the process ends by the signal as it would have without the handler. A signal that is
// ignored stays ignored.
void InstallOutputFileCleanup();

}  // namespace Pallix::Bake
