// The binary records of the volume requests and of change notification, laid out exactly as the
// platform documents them (x86-64 layout; the Windows build checks them against the SDK's own types).
// Defined once here so that the engine, the Windows adapter and the simulated volume share them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/SystemError.h"

namespace kestrel::fs {

// NTSTATUS, kept unsigned so that it compares directly with the documented hexadecimal values.
using NtStatus = std::uint32_t;

inline constexpr NtStatus kStatusSuccess = 0x00000000;
inline constexpr NtStatus kStatusPending = 0x00000103;
inline constexpr NtStatus kStatusBufferOverflow = 0x80000005;
inline constexpr NtStatus kStatusUnsuccessful = 0xC0000001;
inline constexpr NtStatus kStatusInvalidHandle = 0xC0000008;
inline constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
inline constexpr NtStatus kStatusInvalidDeviceRequest = 0xC0000010;
inline constexpr NtStatus kStatusEndOfFile = 0xC0000011;
inline constexpr NtStatus kStatusAlreadyCommitted = 0xC0000021;
inline constexpr NtStatus kStatusAccessDenied = 0xC0000022;
inline constexpr NtStatus kStatusBufferTooSmall = 0xC0000023;
inline constexpr NtStatus kStatusSharingViolation = 0xC0000043;
inline constexpr NtStatus kStatusDiskFull = 0xC000007F;
inline constexpr NtStatus kStatusNotSupported = 0xC00000BB;
inline constexpr NtStatus kStatusFileDeleted = 0xC0000123;

// Win32 error codes (platform/SystemError.h).
using namespace kestrel::errors;

// File-system control codes.
inline constexpr std::uint32_t kFsctlGetNtfsVolumeData = 0x00090064;
inline constexpr std::uint32_t kFsctlGetVolumeBitmap = 0x0009006F;
inline constexpr std::uint32_t kFsctlGetRetrievalPointers = 0x00090073;
inline constexpr std::uint32_t kFsctlMoveFile = 0x00090074;

// Change-notification actions.
inline constexpr std::uint32_t kFileActionAdded = 1;
inline constexpr std::uint32_t kFileActionRemoved = 2;
inline constexpr std::uint32_t kFileActionModified = 3;
inline constexpr std::uint32_t kFileActionRenamedOldName = 4;
inline constexpr std::uint32_t kFileActionRenamedNewName = 5;

// Completion record of a native request. A request that answers kStatusPending fills it later.
struct IO_STATUS_BLOCK {
    union {
        NtStatus Status;
        void* Pointer;
    };
    std::uintptr_t Information;
};

struct NTFS_VOLUME_DATA_BUFFER {
    std::int64_t VolumeSerialNumber;
    std::int64_t NumberSectors;
    std::int64_t TotalClusters;
    std::int64_t FreeClusters;
    std::int64_t TotalReserved;
    std::uint32_t BytesPerSector;
    std::uint32_t BytesPerCluster;
    std::uint32_t BytesPerFileRecordSegment;
    std::uint32_t ClustersPerFileRecordSegment;
    std::int64_t MftValidDataLength;
    std::int64_t MftStartLcn;
    std::int64_t Mft2StartLcn;
    std::int64_t MftZoneStart;
    std::int64_t MftZoneEnd;
};

struct STARTING_LCN_INPUT_BUFFER {
    std::int64_t StartingLcn;
};

// Followed in memory by the bitmap bytes; the header is 16 bytes.
struct VOLUME_BITMAP_BUFFER {
    std::int64_t StartingLcn;
    std::int64_t BitmapSize;
    std::uint8_t Buffer[1];
};

struct STARTING_VCN_INPUT_BUFFER {
    std::int64_t StartingVcn;
};

// Followed in memory by ExtentCount pairs; the header is 16 bytes, each pair 16 bytes.
struct RETRIEVAL_POINTERS_BUFFER {
    std::uint32_t ExtentCount;
    std::int64_t StartingVcn;
    struct Pair {
        std::int64_t NextVcn;
        std::int64_t Lcn;
    } Extents[1];
};

struct MOVE_FILE_DATA {
    void* FileHandle;
    std::int64_t StartingVcn;
    std::int64_t StartingLcn;
    std::uint32_t ClusterCount;
};

// FileName holds FileNameLength bytes of UTF-16, not terminated.
struct FILE_NOTIFY_INFORMATION {
    std::uint32_t NextEntryOffset;
    std::uint32_t Action;
    std::uint32_t FileNameLength;
    char16_t FileName[1];
};

inline constexpr std::size_t kVolumeBitmapHeaderSize = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
inline constexpr std::size_t kRetrievalHeaderSize = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
inline constexpr std::size_t kRetrievalPairSize = sizeof(RETRIEVAL_POINTERS_BUFFER::Pair);

static_assert(sizeof(void*) == 8, "the records are laid out for a 64-bit target");
static_assert(sizeof(IO_STATUS_BLOCK) == 16);
static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == 96);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, TotalClusters) == 16);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, BytesPerCluster) == 44);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftZoneStart) == 80);
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftZoneEnd) == 88);
static_assert(sizeof(STARTING_LCN_INPUT_BUFFER) == 8);
static_assert(kVolumeBitmapHeaderSize == 16);
static_assert(offsetof(VOLUME_BITMAP_BUFFER, BitmapSize) == 8);
static_assert(sizeof(STARTING_VCN_INPUT_BUFFER) == 8);
static_assert(kRetrievalHeaderSize == 16);
static_assert(offsetof(RETRIEVAL_POINTERS_BUFFER, StartingVcn) == 8);
static_assert(kRetrievalPairSize == 16);
static_assert(sizeof(MOVE_FILE_DATA) == 32);
static_assert(offsetof(MOVE_FILE_DATA, StartingVcn) == 8);
static_assert(offsetof(MOVE_FILE_DATA, StartingLcn) == 16);
static_assert(offsetof(MOVE_FILE_DATA, ClusterCount) == 24);
static_assert(sizeof(FILE_NOTIFY_INFORMATION) == 16);
static_assert(offsetof(FILE_NOTIFY_INFORMATION, Action) == 4);
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileNameLength) == 8);
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileName) == 12);

}  // namespace kestrel::fs
