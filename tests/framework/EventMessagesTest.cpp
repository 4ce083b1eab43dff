// The message table source and the texts hosts render must say the same, id for id.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "common/Utf16.h"
#include "service/framework/EventMessages.h"

namespace kestrel::events {
namespace {

// Reads "MessageId=N ... Language=English / text / ." blocks; each text line ends in CR LF, as the
// message compiler stores it.
std::map<std::uint32_t, std::wstring> ReadMessageSource(const std::string& path) {
    std::ifstream in(path);
    std::map<std::uint32_t, std::wstring> texts;
    std::string line;
    std::uint32_t id = 0;
    bool inText = false;
    std::string text;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (inText) {
            if (line == ".") {
                texts[id] = FromUtf8(text);
                inText = false;
            } else {
                text += line + "\r\n";
            }
        } else if (line.rfind("MessageId=", 0) == 0) {
            id = static_cast<std::uint32_t>(std::stoul(line.substr(10)));
        } else if (line.rfind("Language=", 0) == 0) {
            inText = true;
            text.clear();
        }
    }
    return texts;
}

TEST(EventMessages, SourceOfTheMessageTableMatchesTheTexts) {
    auto source = ReadMessageSource(KESTREL_MESSAGES_MC);
    std::map<std::uint32_t, std::wstring> texts;
    for (const auto& [id, text] : MessageTexts())
        texts[id] = text;
    EXPECT_EQ(source, texts);
    EXPECT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts.at(kDeviceChange), L"Kestrel Service received a device change notification.\r\n");
}

}  // namespace
}  // namespace kestrel::events
