#include "protocol/transport.h"

namespace talvo {
namespace {
// 动态库提示, in UTF-8 and in GBK.
constexpr platform::message::Text kCaption = {"\345\212\250\346\200\201\345\272\223\346\217\220\347\244\272",
                                              "\266\257\314\254\277\342\314\341\312\276"};
}  // namespace

void Transport::ShowFailure(const platform::message::Text* text, const std::string& line) {
    platform::message::ShowPortFailure(kCaption, text, line);
}

}  // namespace talvo
