#include "io/fbx/fbxfilereader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>

#include "io/chunkedinput.h"
#include "io/fbx/objadapter.h"

namespace Pallix::Bake {

namespace {

constexpr int OldestVersion = 7100;
constexpr int NewestVersion = FbxFileReader::NewestMajor * 1000 + FbxFileReader::NewestMinor * 100 +
                              FbxFileReader::NewestRevision;

std::string_view WithoutBom(std::string_view text) {
    return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Marks a version statement that cannot be a version.
constexpr int MalformedVersion = -1;

// The decimal number at the start of text, when it is no larger than limit: returns how many
// characters it takes, 0 when there is none or it is larger.
size_t ParseBounded(std::string_view text, int limit, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || value < 0 || value > limit) return 0;
    return size_t(end - text.data());
}

// "7.4.0" as one number, 7400; MalformedVersion when the parts do not fit that form.
int CommentVersion(std::string_view numbers) {
    int major = 0, minor = 0, revision = 0;
    size_t at = ParseBounded(numbers, 99, major);
    if (!at || numbers.substr(at, 1) != ".") return MalformedVersion;
    const size_t minorLength = ParseBounded(numbers.substr(++at), 9, minor);
    if (!minorLength || numbers.substr(at + minorLength, 1) != ".") return MalformedVersion;
    if (!ParseBounded(numbers.substr(at + minorLength + 1), 99, revision)) return MalformedVersion;
    return major * 1000 + minor * 100 + revision;
}

// An ASCII FBX file opens with comment lines (the first names the version, "; FBX 7.4.0 project
// file") and the header record. Returns false when the text is not one; version 0 when it has
// none and MalformedVersion when it states one that is not a version.
bool RecogniseAscii(std::string_view text, int& version) {
    text = WithoutBom(text);
    version = 0;
    bool namedFbx = false, malformed = false;
    size_t pos = 0;
    for (;;) {
        while (pos < text.size() && IsSpace(text[pos])) ++pos;
        if (pos >= text.size() || text[pos] != ';') break;
        const size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view comment = text.substr(pos + 1, end - pos - 1);
        while (!comment.empty() && comment[0] == ' ') comment.remove_prefix(1);
        if (comment.substr(0, 4) == "FBX ") {
            namedFbx = true;
            const std::string_view numbers = comment.substr(4);
            // Digits with two dots state the version; any other text after "FBX " is a title.
            const size_t dot1 = numbers.find('.');
            if (!numbers.empty() && numbers[0] >= '0' && numbers[0] <= '9' && dot1 != std::string_view::npos &&
                numbers.find('.', dot1 + 1) != std::string_view::npos) {
                version = CommentVersion(numbers);
                malformed = malformed || version == MalformedVersion;
            }
        }
        pos = end;
    }
    const bool headerFirst = text.substr(pos, 19) == "FBXHeaderExtension:";
    if (!namedFbx && !headerFirst) return false;
    // The header record's version wins over the comment's.
    const size_t key = text.find("FBXVersion:", pos);
    if (key != std::string_view::npos && key < pos + 65536) {
        size_t at = key + 11;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        int fromHeader = 0;
        if (ParseBounded(text.substr(at, 12), 99999, fromHeader))
            version = fromHeader > 0 ? fromHeader : version;
        else
            malformed = true;
    }
    if (malformed) version = MalformedVersion;
    return true;
}

bool HeaderSaysEncrypted(const FbxDocument& document) {
    const FbxElement* header = document.root.Find("FBXHeaderExtension");
    const FbxElement* encryption = header ? header->Find("EncryptionType") : nullptr;
    return encryption && !encryption->values.empty() && encryption->values[0].AsInteger() != 0;
}

}  // namespace

bool FbxFileReader::Fail(FbxStatusCode code, std::string text) {
    status = code;
    statusText = std::move(text);
    return false;
}

FbxFileReader::FbxFileReader() = default;
FbxFileReader::~FbxFileReader() = default;

bool FbxFileReader::Initialize(const std::string& path) {
    input.reset();
    contents = {};
    format = Format::Unknown;
    version = 0;
    status = FbxStatusCode::Success;
    statusText.clear();

    // A pipe, a device or a file whose size reads 0 is read to its end as the input opens.
    input = std::make_unique<ChunkedInput>(path.c_str());
    if (!input->IsOpen()) return Fail(FbxStatusCode::Failure, "File not found or not readable");
    if (input->IsFolder()) return Fail(FbxStatusCode::Failure, "The path is a folder, not a file");
    if (input->OutOfMemory()) return Fail(FbxStatusCode::Failure, "Not enough memory to read the file");
    if (input->ReadFailed()) return Fail(FbxStatusCode::Failure, "Read error");
    try {
        if (!input->Hold()) return Fail(FbxStatusCode::Failure, "Read error");
    } catch (const std::bad_alloc&) {
        return Fail(FbxStatusCode::Failure, "Not enough memory to read the file");
    }
    // Another program that wrote the file meanwhile moved its size or date.
    if (input->Changed()) return Fail(FbxStatusCode::Failure, "The file changed while it was being read");
    contents = input->Whole();

    if (contents.size() >= 21 && std::memcmp(contents.data(), "Kaydara FBX Binary  \0", 21) == 0) {
        if (contents.size() < 27) return Fail(FbxStatusCode::InvalidFile, "File is truncated in its header");
        uint32_t stored;
        std::memcpy(&stored, contents.data() + 23, 4);
        format = Format::Binary;
        version = stored > uint32_t(INT32_MAX) ? INT32_MAX : int(stored);
    } else if (RecogniseAscii(contents, version)) {
        format = Format::Ascii;
        if (version == MalformedVersion) {
            version = 0;
            return Fail(FbxStatusCode::InvalidFile, "File states a malformed FBX version");
        }
    } else if (ObjAdapter::Recognise(contents)) {
        format = Format::Obj;
        return true;
    } else {
        return Fail(FbxStatusCode::InvalidFile, "Unexpected file type");
    }
    if (version < OldestVersion || version > NewestVersion)
        return Fail(FbxStatusCode::InvalidFileVersion, "File is not in a supported FBX version");
    return true;
}

void FbxFileReader::GetFileVersion(int& major, int& minor, int& revision) const {
    major = version / 1000;
    minor = version % 1000 / 100;
    revision = version % 100;
}

bool FbxFileReader::Import(FbxScene& scene) {
    if (format == Format::Unknown) return Fail(FbxStatusCode::Failure, "No file was initialised");
    status = FbxStatusCode::Success;
    statusText.clear();
    scene = FbxScene();
    try {
        if (format == Format::Obj)
            ObjAdapter::Read(contents, scene);
        else
            ImportFbx(scene);
    } catch (const FbxFormatError& error) {
        scene = FbxScene();
        if (status == FbxStatusCode::PasswordError) return false;
        return Fail(FbxStatusCode::InvalidFile, std::string("File is corrupt: ") + error.what());
    } catch (const std::bad_alloc&) {
        scene = FbxScene();
        return Fail(FbxStatusCode::Failure, "Not enough memory to import the file");
    }
    return status == FbxStatusCode::Success;
}

void FbxFileReader::ImportFbx(FbxScene& scene) {
    FbxDocument document;
    if (format == Format::Binary) {
        try {
            document = FbxDocument::ParseBinary(contents);
        } catch (const FbxFormatError&) {
            // An encrypted body does not parse; its header record says why.
            FbxDocument header;
            try {
                header = FbxDocument::ParseBinary(contents, 1);
            } catch (const FbxFormatError&) {
            }
            if (HeaderSaysEncrypted(header)) {
                Fail(FbxStatusCode::PasswordError, "File is password protected");
                throw FbxFormatError(statusText);
            }
            throw;
        }
    } else {
        document = FbxDocument::ParseAscii(contents);
    }
    if (HeaderSaysEncrypted(document)) {
        Fail(FbxStatusCode::PasswordError, "File is password protected");
        return;
    }
    scene.Build(document);
}

}  // namespace Pallix::Bake
