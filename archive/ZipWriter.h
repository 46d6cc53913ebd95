#pragma once

// Writes publication archives: every entry encrypted with the archive
// password, files deflated (flags 0x000B) or stored (0x0009), directories
// stored, each entry followed by a data descriptor, no extra fields and no
// comment. Entries are streamed: a file is read, compressed, encrypted and
// written in chunks, so archives far larger than memory can be packed.
//
// Below the everyday calls lies AddRaw, which writes one entry with every
// header field under the caller's control; tests use it to craft archives
// the packer never writes (other passwords, methods, Zip64 records, lying
// sizes, extra fields, comments).

#include "base/Classes.h"
#include "archive/ZipReader.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Folivant::Archive {

// Writing failed: the output stream refused bytes, a source file can't be
// read, or the writer was used after Finish.
class EZipWriteError : public Exception {
public:
    using Exception::Exception;
};

// Which fields of a central directory record are moved into its Zip64
// extended-information extra field (the record then holds their maximum).
enum TZip64Field : unsigned {
    z64UncompressedSize = 1,
    z64CompressedSize = 2,
    z64LocalHeaderOffset = 4,
    z64DiskNumberStart = 8,
    z64All = 15,
};

// One entry with every field chosen by the caller. Fields left at their
// defaults give an entry as the packer writes it (deflated, encrypted, flags
// 0x000B, version 2.1 on MS-DOS, data descriptor).
struct TZipRawEntry {
    std::string Name;    // raw bytes of the name, written unchanged
    std::string Data;    // the entry's content before compression
    bool Deflate = true; // compress Data with raw deflate; false stores it
    // Bytes written as the entry's data instead of compressing Data (for
    // bzip2, LZMA or deliberately corrupt data). Encrypted when Encrypt is set.
    std::optional<std::string> Compressed;
    std::optional<std::uint16_t> Method; // default: 8 when deflated, else 0

    std::uint16_t Flags = 0x000B;            // central directory flags
    std::optional<std::uint16_t> LocalFlags; // default: Flags
    std::uint16_t VersionMadeBy = 0x0015;
    std::uint16_t VersionNeeded = 21;
    std::uint16_t ModTime = 0x6000;            // DOS time 12:00:00
    std::uint16_t ModDate = 0x5A21;            // DOS date 2025-01-01
    std::optional<std::uint16_t> LocalModTime; // default: ModTime

    bool Encrypt = true;                 // traditional PKWARE encryption
    std::optional<std::string> Password; // default: the writer's password
    // The last byte of the encryption header; default: the high byte of the
    // modification time when local bit 3 is set, else of the CRC-32.
    std::optional<std::uint8_t> CheckByte;

    // Values written into the central directory instead of the true ones.
    std::optional<std::uint32_t> Crc32;
    std::optional<std::uint64_t> CompressedSize;
    std::optional<std::uint64_t> UncompressedSize;
    std::optional<std::uint64_t> LocalHeaderOffset;
    std::uint32_t DiskNumberStart = 0;
    unsigned Zip64Fields = 0; // TZip64Field bits

    std::string CentralExtra; // appended after any Zip64 extra field
    std::string LocalExtra;
    std::string Comment; // the central directory record's comment
    // Written after the data when local bit 3 is set (with its signature).
    bool DataDescriptor = true;
    // Omit the central directory record (the entry exists only locally).
    bool OmitFromDirectory = false;
};

// How Finish writes the end of the archive.
struct TZipEndOptions {
    std::string Comment; // at most 65,535 bytes
    std::uint16_t DiskNumber = 0;
    std::uint16_t CentralDirectoryDisk = 0;
    // Values written into the end record instead of the true ones.
    std::optional<std::uint16_t> EntriesOnDisk;
    std::optional<std::uint16_t> TotalEntries;
    std::optional<std::uint32_t> CentralDirectorySize;
    std::optional<std::uint32_t> CentralDirectoryOffset;
    // Writes the Zip64 end record and locator and puts the maximum into every
    // end-record field; without it they are written only when a count or
    // offset does not fit the end record.
    bool ForceZip64 = false;
};

// Where the parts of a written archive lie, as offsets from its first byte;
// tests damage archives at these places.
struct TZipLayout {
    struct TEntry {
        std::uint64_t LocalHeader = 0;
        std::uint64_t Data = 0; // first byte after the local header
        std::uint64_t DataSize = 0;
        std::uint64_t CentralRecord = 0;
    };
    std::vector<TEntry> Entries;
    std::uint64_t CentralDirectory = 0;
    std::uint64_t CentralDirectorySize = 0;
    std::optional<std::uint64_t> Zip64EndRecord;
    std::optional<std::uint64_t> Zip64Locator;
    std::uint64_t EndRecord = 0;
    std::uint64_t Size = 0; // the whole archive
};

class TZipWriter {
public:
    // Called with the number of source bytes consumed so far, after every
    // chunk and at the end of every entry.
    using TProgress = std::function<void(std::uint64_t bytesDone)>;

    // Writes the archive into out, starting at its current position; every
    // offset inside the archive counts from that position. out must outlive
    // the writer.
    explicit TZipWriter(TStream& out, std::string password = ArchivePassword);
    ~TZipWriter();
    TZipWriter(const TZipWriter&) = delete;
    TZipWriter& operator=(const TZipWriter&) = delete;

    TProgress OnProgress;
    // zlib compression level for deflated entries (1..9).
    int CompressionLevel = 6;

    // The packer's entries. Names are UTF-8 relative paths with "/"; they
    // are written as given. The file's modification time becomes the
    // entry's; AddBytes, AddStream and AddDirectory use ModTime/ModDate.
    void AddFile(const std::string& nameUtf8, const std::filesystem::path& file,
                 bool deflate = true);
    void AddStream(const std::string& nameUtf8, TStream& source, bool deflate = true);
    void AddBytes(const std::string& nameUtf8, std::string_view bytes, bool deflate = true);
    // A directory entry; "/" is appended when the name lacks it.
    void AddDirectory(const std::string& nameUtf8);

    void AddRaw(const TZipRawEntry& entry);

    // Writes the central directory and the end record. Nothing can be added
    // afterwards.
    void Finish();
    void Finish(const TZipEndOptions& options);

    int Count() const { return FCount; }
    const TZipLayout& Layout() const { return FLayout; }

    // DOS time and date given to AddBytes, AddStream and AddDirectory.
    std::uint16_t ModTime = 0x6000;
    std::uint16_t ModDate = 0x5A21;

    // Reproducible output (seconds since 1970, as in SOURCE_DATE_EPOCH):
    // every entry, AddFile's too, takes this time in UTC, and the encryption
    // headers are derived from each entry's name and content instead of
    // drawn at random, so the same entries give the same bytes.
    void SetSourceDateEpoch(std::int64_t seconds);

private:
    void WriteOut(const void* data, std::size_t size);
    std::uint64_t Offset();
    void CheckOpen() const;
    void DerivedHeaderBytes(const std::string& name, TStream* source, std::uint8_t* out);
    void AddStreamed(const std::string& name, TStream* source, bool deflate, std::uint16_t time,
                     std::uint16_t date, bool directory);

    TStream& FOut;
    std::string FPassword;
    bool FReproducible = false;
    std::uint64_t FWritten = 0;
    std::uint64_t FBytesDone = 0;
    bool FFinished = false;
    int FCount = 0;
    std::string FCentralDirectory; // the records written by Finish
    TZipLayout FLayout;
};

// DOS time and date of a file's last modification (local time), as ZIP stores them.
void DosDateTime(const std::filesystem::path& file, std::uint16_t& time, std::uint16_t& date);
// DOS time and date of a moment in seconds since 1970, in UTC or local time.
void DosDateTime(std::int64_t seconds, bool utc, std::uint16_t& time, std::uint16_t& date);

} // namespace Folivant::Archive
