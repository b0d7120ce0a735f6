// What the serial port shows of a failed set-up step, in UTF-8 (Linux) and
// GBK (Windows).
#pragma once

#include "platform/platform.h"

namespace talvo::text {

extern const platform::message::Text kBadDevice;  // 非法的设备号, 或者您的计算机不支持这样的设备!
extern const platform::message::Text kAlreadyOpen;  // 串行设备已经打开!
extern const platform::message::Text kCannotOpen;  // 串行设备无法打开!
extern const platform::message::Text kNoMemory;  // 无法锁定足够的内存用于串口!
extern const platform::message::Text kBadDefaults;  // 默认的参数出错, 请找本公司联系!
extern const platform::message::Text kPortTaken;  // 指定的串口被其它设备占用!
extern const platform::message::Text kBadSettings;  // 设备设置指令出错, 请检查一下VELDA.INI!
extern const platform::message::Text kBadBaud;  // 您的计算机不支持这样的波特率!
extern const platform::message::Text kBadModeText;  // 串口设置指令不正确!
extern const platform::message::Text kBadState;  // 串口状态设置错误!
extern const platform::message::Text kBadQueues;  // 串口缓冲区设置错误!
extern const platform::message::Text kBadTimeouts;  // 串口超时控制设置错误!

}  // namespace talvo::text
