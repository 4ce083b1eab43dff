#include "service/core/ReplySender.h"

#include <algorithm>

#include "common/protocol/Protocol.h"
#include "platform/Time.h"

namespace kestrel::core {

ReplySender::ReplySender(ReplyWriterFactory factory, RoomWait* roomWait)
    : factory_(std::move(factory)), roomWait_(roomWait) {}

bool ReplySender::Open(const std::wstring& name) {
    writer_.reset();
    writer_ = factory_ ? factory_() : std::make_unique<MailslotWriter>();
    return writer_ != nullptr && writer_->Open(name);
}

bool ReplySender::Send(int code, std::wstring_view text) {
    if (!writer_)
        return false;
    if (roomWait_ == nullptr)
        return writer_->Write(protocol::ComposeReply(code, text));
    writer_->SetRoomWait(std::min(roomWait_->perReply, roomWait_->left));
    const std::uint64_t start = timing::NowMs();
    const bool sent = writer_->Write(protocol::ComposeReply(code, text));
    const std::uint64_t waited = timing::NowMs() - start;
    roomWait_->left -= static_cast<std::uint32_t>(std::min<std::uint64_t>(waited, roomWait_->left));
    return sent;
}

bool ReplySender::SendNumbers(const protocol::Statistics& numbers) {
    return Send(protocol::kCodeStatistics, protocol::StatisticsText(numbers));
}

}  // namespace kestrel::core
