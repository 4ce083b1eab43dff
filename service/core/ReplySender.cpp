#include "service/core/ReplySender.h"

#include "common/protocol/Protocol.h"

namespace kestrel::core {

ReplySender::ReplySender(ReplyWriterFactory factory) : factory_(std::move(factory)) {}

bool ReplySender::Open(const std::wstring& name) {
    writer_.reset();
    writer_ = factory_ ? factory_() : std::make_unique<MailslotWriter>();
    return writer_ != nullptr && writer_->Open(name);
}

bool ReplySender::Send(int code, std::wstring_view text) {
    if (!writer_)
        return false;
    return writer_->Write(protocol::ComposeReply(code, text));
}

bool ReplySender::SendNumbers(const protocol::Statistics& numbers) {
    return Send(protocol::kCodeStatistics, protocol::StatisticsText(numbers));
}

}  // namespace kestrel::core
