#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "io/fbx/fbxscene.h"

namespace Pallix::Bake {

class ChunkedInput;

// Status codes of a load, numbered as the format's reference library numbers them.
enum class FbxStatusCode { Success = 0, Failure = 1, PasswordError = 5, InvalidFileVersion = 6, InvalidFile = 7 };

// Opens a mesh file, recognises it by its content (binary FBX, ASCII FBX or Wavefront OBJ) and
// imports it into an FbxScene. Initialize reads the file and its version; Import parses it.
// Both report failure through the status code and text and never throw for bad input.
class FbxFileReader {
public:
    enum class Format { Unknown, Binary, Ascii, Obj };

    // The newest FBX version this reader reads (and the oldest is 7.1).
    static constexpr int NewestMajor = 7, NewestMinor = 7, NewestRevision = 0;

    FbxFileReader();
    ~FbxFileReader();

    bool Initialize(const std::string& path);
    // Version of the file as major, minor, revision (7400 is 7.4.0); zeros for OBJ files.
    void GetFileVersion(int& major, int& minor, int& revision) const;
    bool IsFBX() const { return format == Format::Binary || format == Format::Ascii; }
    Format FileFormat() const { return format; }
    // An encrypted file fails with PasswordError: its content cannot be read here at all.
    bool Import(FbxScene& scene);

    FbxStatusCode StatusCode() const { return status; }
    const std::string& StatusText() const { return statusText; }

private:
    bool Fail(FbxStatusCode code, std::string text);
    void ImportFbx(FbxScene& scene);

    std::unique_ptr<ChunkedInput> input;  // holds the file's bytes from Initialize to Import
    std::string_view contents;
    Format format = Format::Unknown;
    int version = 0;
    FbxStatusCode status = FbxStatusCode::Success;
    std::string statusText;
};

}  // namespace Pallix::Bake
