// Construction of the engine and access to its volume: selecting and opening the volume, reading its
// NTFS data, opening files for mapping, and naming failures in the trace.
#include "service/engine/DefragEngine.h"

#include <cstdlib>

#include "platform/SystemError.h"
#include "platform/Time.h"
#include "service/engine/EngineTrace.h"

namespace kestrel::engine {
namespace {

constexpr int kVolumeDataAttempts = 11;
constexpr timing::Millis kVolumeDataRetryMs = 1000;
constexpr timing::Millis kVolumeRequestWaitMs = 60000;

std::wstring DevicePath(std::int32_t driveIndex) {
    std::wstring path = L"\\\\.\\A:";
    path[4] = static_cast<wchar_t>(L'A' + driveIndex);
    return path;
}

}  // namespace

DefragEngine::DefragEngine(fs::FileSystemControl& fs, const std::wstring& path)
    : fs_(fs),
      volume_(fs::kInvalidHandle, fs::FsHandleTraits{&fs}),
      retrieval_(new std::uint64_t[kRetrievalBufferSize / 8]()) {
    const std::int32_t index = SelectVolume(path);
    if (index != 0) {
        currentDriveIndex_ = index;
        bitmapStale_ = true;
        runHints_.fill(0);
        // Without the native control call the engine cannot do anything on this system.
        if (!fs_.Bind())
            std::exit(1);
    }
}

DefragEngine::DefragEngine(const std::wstring& path) : DefragEngine(fs::DefaultFileSystemControl(), path) {}

DefragEngine::~DefragEngine() = default;

std::int32_t DefragEngine::SelectVolume(const std::wstring& path) {
    if (path.empty())
        return 0;
    const wchar_t c = path[0];
    std::int32_t index;
    if (c >= L'a' && c <= L'z') {
        index = c - L'a';
    } else if (c >= L'A' && c <= L'Z') {
        index = c - L'A';
    } else {
        return 0;  // not a drive letter: nothing changes
    }
    const wchar_t letter = static_cast<wchar_t>(L'A' + index);
    if (currentRoot_.size() == 1 && currentRoot_[0] == letter && volume_.valid())
        return currentDriveIndex_;

    volume_.reset();
    currentRoot_.assign(1, letter);
    OpenVolume(index);
    bool haveData = false;
    for (int attempt = 0; attempt < kVolumeDataAttempts; ++attempt) {
        if (attempt > 0)
            timing::Sleep(kVolumeDataRetryMs);
        if (GetNtfsVolumeData(index)) {
            haveData = true;
            break;
        }
    }
    noVolumeData_ = !haveData;
    if (!haveData) {
        volumeData_ = fs::NTFS_VOLUME_DATA_BUFFER{};
        volumeData_.TotalClusters = kDefaultTotalClusters;
        volumeData_.BytesPerCluster = kDefaultBytesPerCluster;
        volumeData_.MftZoneStart = 0;
        volumeData_.MftZoneEnd = 0;
    }
    SizeBitmapBuffer();
    bitmapStale_ = true;
    currentDriveIndex_ = index;
    RefreshBitmap();
    return index;
}

std::uint32_t DefragEngine::OpenVolume(std::int32_t driveIndex) {
    if (driveIndex < 0 || driveIndex > 25)
        return fs::kErrorInvalidParameter;
    const wchar_t letter = static_cast<wchar_t>(L'A' + driveIndex);
    if (letter == currentDriveLetter_ && volume_.valid())
        return fs::kErrorSuccess;
    volume_.reset();
    currentDriveLetter_ = letter;
    const fs::OpenResult opened = fs_.OpenVolume(DevicePath(driveIndex));
    volume_ = fs_.Own(opened.handle);
    if (!volume_.valid())
        return opened.error != fs::kErrorSuccess ? opened.error : fs::kErrorInvalidHandle;
    return fs::kErrorSuccess;
}

bool DefragEngine::GetNtfsVolumeData(std::int32_t driveIndex) {
    if (OpenVolume(driveIndex) != fs::kErrorSuccess)
        return false;
    if (!fs_.Bind())
        return false;
    // The answer lands in a copy, so that a refused request leaves nothing half written behind.
    fs::NTFS_VOLUME_DATA_BUFFER data{};
    fs::IO_STATUS_BLOCK io{};
    const fs::NtStatus status = Control(volume_.get(), io, fs::kFsctlGetNtfsVolumeData, nullptr, 0, &data,
                                        sizeof(data), volume_.get(), kVolumeRequestWaitMs);
    if (status != fs::kStatusSuccess)
        return false;
    volumeData_ = data;
    return true;
}

fs::FsHandle DefragEngine::OpenFileForMapping(const std::wstring& path, std::uint32_t* error) {
    const fs::OpenResult opened = fs_.OpenFile(L"\\\\?\\" + path);
    fs::FsHandle file = fs_.Own(opened.handle);
    if (!file.valid()) {
        const std::uint32_t code = opened.error != fs::kErrorSuccess ? opened.error : fs::kErrorInvalidHandle;
        ReportWin32Error(code);
        if (error != nullptr)
            *error = code;
    } else if (error != nullptr) {
        *error = fs::kErrorSuccess;
    }
    return file;
}

void DefragEngine::ReportStatus(fs::NtStatus status) {
    switch (status) {
        case fs::kStatusSuccess:
            EngineTrace(L"STATUS_SUCCESS\n");
            break;
        case fs::kStatusInvalidParameter:
            EngineTrace(L"STATUS_INVALID_PARAMETER\n");
            break;
        case fs::kStatusInvalidDeviceRequest:
            EngineTrace(L"STATUS_INVALID_DEVICE_REQUEST\n");
            break;
        case fs::kStatusAlreadyCommitted:
            EngineTrace(L"STATUS_ALREADY_COMMITTED\n");
            break;
        case fs::kStatusBufferTooSmall:
            EngineTrace(L"STATUS_BUFFER_TOO_SMALL\n");
            break;
        default:
            EngineTrace(L"Error = 0x%08x\n", status);
            break;
    }
}

std::int32_t DefragEngine::ClassifyWin32Error(std::uint32_t error) {
    return error == fs::kErrorSharingViolation ? kFileInUse : kFileUnusable;
}

std::int32_t DefragEngine::ReportWin32Error(std::uint32_t error) {
    switch (error) {
        case fs::kErrorFileNotFound:
        case fs::kErrorPathNotFound:
        case fs::kErrorAccessDenied:
        case fs::kErrorFilenameExcedRange:
        case fs::kErrorSharingViolation:
            break;
        default:
            EngineTrace(L"%s - error code=%d\n", SystemErrorText(error), static_cast<std::int32_t>(error));
            break;
    }
    return ClassifyWin32Error(error);
}

fs::NtStatus DefragEngine::Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code,
                                   const void* in, std::uint32_t inLength, void* out, std::uint32_t outLength,
                                   fs::RawHandle waitOn, std::uint32_t timeoutMs, bool* pended) {
    io.Pointer = nullptr;
    io.Information = 0;
    const fs::NtStatus status = fs_.Control(handle, io, code, in, inLength, out, outLength);
    if (pended != nullptr)
        *pended = status == fs::kStatusPending;
    if (status != fs::kStatusPending)
        return status;
    if (!fs_.Wait(waitOn, timing::Scaled(timeoutMs)))
        return fs::kStatusPending;
    return io.Status;
}

}  // namespace kestrel::engine
