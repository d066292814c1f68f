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

// The comment lines and blank space an ASCII FBX file opens with: where they end (the end of
// the text when they run on to it), whether a comment names the file an FBX file and the version
// a comment states (MalformedVersion for one that is not a version).
struct AsciiOpening {
    size_t end = 0;
    bool namedFbx = false;
    int version = 0;
};

AsciiOpening WalkAsciiOpening(std::string_view text) {
    AsciiOpening opening;
    bool malformed = false;
    size_t& pos = opening.end;
    for (;;) {
        while (pos < text.size() && IsSpace(text[pos])) ++pos;
        if (pos >= text.size() || text[pos] != ';') break;
        const size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view comment = text.substr(pos + 1, end - pos - 1);
        while (!comment.empty() && comment[0] == ' ') comment.remove_prefix(1);
        if (comment.substr(0, 4) == "FBX ") {
            opening.namedFbx = true;
            const std::string_view numbers = comment.substr(4);
            // Digits with two dots state the version; any other text after "FBX " is a title.
            const size_t dot1 = numbers.find('.');
            if (!numbers.empty() && numbers[0] >= '0' && numbers[0] <= '9' && dot1 != std::string_view::npos &&
                numbers.find('.', dot1 + 1) != std::string_view::npos) {
                opening.version = CommentVersion(numbers);
                malformed = malformed || opening.version == MalformedVersion;
            }
        }
        pos = end;
    }
    if (malformed) opening.version = MalformedVersion;
    return opening;
}

constexpr std::string_view HeaderRecord = "FBXHeaderExtension:";

// An ASCII FBX file opens with comment lines (the first names the version, "; FBX 7.4.0 project
// file") and the header record. Returns false when the text is not one; version 0 when it has
// none and MalformedVersion when it states one that is not a version.
bool RecogniseAscii(std::string_view text, int& version) {
    text = WithoutBom(text);
    const AsciiOpening opening = WalkAsciiOpening(text);
    const size_t pos = opening.end;
    version = opening.version;
    bool malformed = version == MalformedVersion;
    const bool headerFirst = text.substr(pos, HeaderRecord.size()) == HeaderRecord;
    if (!opening.namedFbx && !headerFirst) return false;
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

constexpr std::string_view BinaryMagic{"Kaydara FBX Binary  \0", 21};

// No text holds a NUL or a control character other than the blanks.
bool IsText(std::string_view bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) < 0x20 && !IsSpace(c)) return false;
    return true;
}

static_assert(ChunkedInput::HeadBytes >= ObjAdapter::RecogniseBytes);

// Whether a file that begins with these bytes may be one this reader reads: they decide each
// format as the whole file would, since the OBJ test looks no further than they reach.
bool MayRead(std::string_view head) {
    int version = 0;
    if (head.substr(0, BinaryMagic.size()) == BinaryMagic || RecogniseAscii(head, version) || ObjAdapter::Recognise(head))
        return true;
    // Comment lines or blank space as long as the head leave it open while they are text.
    const std::string_view text = WithoutBom(head);
    return WalkAsciiOpening(text).end + HeaderRecord.size() > text.size() && IsText(text);
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

    // A pipe, a device or a file whose size reads 0 is read to its end as the input opens, unless
    // its first bytes already tell that it is no mesh file.
    input = std::make_unique<ChunkedInput>(path.c_str(), &MayRead);
    if (!input->IsOpen()) return Fail(FbxStatusCode::Failure, "File not found or not readable");
    if (input->IsFolder()) return Fail(FbxStatusCode::Failure, "The path is a folder, not a file");
    if (input->OutOfMemory()) return Fail(FbxStatusCode::Failure, "Not enough memory to read the file");
    if (input->HeadRefused()) return Fail(FbxStatusCode::InvalidFile, "Unexpected file type");
    if (input->ReadFailed()) return Fail(FbxStatusCode::Failure, "Read error");
    try {
        if (!input->Hold()) return Fail(FbxStatusCode::Failure, "Read error");
    } catch (const std::bad_alloc&) {
        return Fail(FbxStatusCode::Failure, "Not enough memory to read the file");
    }
    // Another program that wrote the file meanwhile moved its size or date.
    if (input->Changed()) return Fail(FbxStatusCode::Failure, "The file changed while it was being read");
    contents = input->Whole();

    if (contents.substr(0, BinaryMagic.size()) == BinaryMagic) {
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
