// The main window's texts, one (Chinese, English) pair each, and how one is picked.
#pragma once

#include <QString>

#include "common/texts.h"

namespace mainwindow {


inline constexpr Text CaptionAdvanced{"Tarvello(高级用户版)", "Tarvello V2.0 (Advance User)"};
inline constexpr Text CaptionCustomer{"Tarvello(客户版)", "Tarvello V2.0 (Customer)"};
inline constexpr Text TextGroups{"编组设置", "Groups"};
inline constexpr Text TextAbout{"关于", "About"};
inline constexpr Text TextAudit{"审计", "Audit"};
inline constexpr Text AuditNotWrittenText{"审计记录 %1 无法写入：在恢复写入之前，本次运行的操作不会被记录。\n%2",
                                          "The audit record %1 cannot be written: the actions of this run are not recorded "
                                          "until it can be written again.\n%2"};
inline constexpr Text AuditDiskFullText{"审计记录 %1 无法写入（磁盘已满）：在恢复写入之前，本次运行的操作不会被记录。",
                                        "The audit record %1 cannot be written (disk full): the actions of this run are "
                                        "not recorded until it can be written again."};
inline constexpr Text AuditWrittenAgainText{"审计记录 %1 已恢复写入。其间有 %2 条记录未能写入，已丢失。",
                                            "The audit record %1 can be written again. %2 rows could not be written "
                                            "meanwhile and are lost."};
inline constexpr Text TextExit{"退出", "Exit"};
inline constexpr Text TextPassword{"修改密码", "Password"};
inline constexpr Text TextNameHeader{"名   称", "Name"};
inline constexpr Text TextGroupHeader{"         组  名", "         Group"};
inline constexpr Text TextRefresh{"状态刷新", "Refresh"};
inline constexpr Text TextSearchStop{"停止", "Stop"};
inline constexpr Text TextSearch{"搜索", "Search"};
inline constexpr Text TextSelfCheckStop{"停止", "Stop"};
inline constexpr Text TextSelfCheckStart{"启动", "Start"};
inline constexpr Text TextClear{"清除", "Clear"};
inline constexpr Text TextPortFrame{"串口选择", "Serial Port"};
inline constexpr Text TextFastBus{"快速", "Fast"};
inline constexpr Text TextSelfCheck{"自检周期", "SelfCheck"};
inline constexpr Text TextUngrouped{"未编组", "Ungrouped"};
inline constexpr Text TiltForwardTip{"向前倾斜", "Tilt forward"};
inline constexpr Text TiltBackwardTip{"向后倾斜", "Tilt backward"};
inline constexpr Text TextUp{"上升", "Up"};
inline constexpr Text TextStop{"停止", "Stop"};
inline constexpr Text TextDown{"下降", "Down"};
inline constexpr Text TextAllUnits{"   所有装置", "   All Units"};
inline constexpr Text TextUngroupedEntry{"   未编组", "   Ungrouped"};

inline constexpr Text ModeOperatorText{"操作员模式", "Operator Mode"};
inline constexpr Text ModeAdministratorText{"管理员模式", "Administrator Mode"};
inline constexpr Text ModeSuperUserText{"超级用户模式", "Super-user Mode"};
inline constexpr Text ModeIllicitText{"非法模式", "Illicit Mode"};

inline constexpr Text DeviceCountText{"当前共计 %1 台设备。", "There're %1 devices in total."};

struct Hint {
    const char* key;
    Text text;
};
inline constexpr Hint Hints[] = {
    {"refreshButton", {"刷新当前已列出设备的在线状态。", "Refresh the devices' status in the list."}},
    {"groupsButton", {"对所有设备进行编组设置。", "Organize all devices into groups."}},
    {"passwordButton", {"修改用户的使用密码。", "Modify the user's password."}},
    {"aboutButton", {"显示产品信息。", "Display the information about the product."}},
    {"exitButton", {"退出控制中心。", "Exit the software."}},
    {"upButton", {"使所选择设备上升。", "Lift up the selected devices."}},
    {"downButton", {"使所选择设备下降。", "Pull down the selected devices."}},
    {"stopButton", {"使所选择设备停止运动。", "Stop the selected devices."}},
    {"forwardButton", {"使所选择设备前仰。", "Lean the selected devices forward."}},
    {"backwardButton", {"使所选择设备后仰。", "Lean the selected devices back."}},
    {"selfCheckButton", {"对所选择设备进行自检。", "Make the selected devices' self-check."}},
    {"searchButton", {"搜索在线设备。", "Search the online devices."}},
    {"clearButton", {"清空串口通讯记录。", "Clear the memo of Communication codes."}},
    {"languageFrame", {"选择语言。", "Select the language."}},
    {"portFrame", {"选择串口。", "Select the serial port."}},
    {"fastBusCheck", {"快速总线：应答完整即处理，超时按线路所需。", "Fast bus: a reply is taken once it is whole."}},
};

// Names of the controls for screen readers and automation; their descriptions are the hints
// above where a control has one.
struct AccessibleText {
    const char* key;
    Text name;
};
inline constexpr AccessibleText AccessibleNames[] = {
    {"refreshButton", {"状态刷新", "Refresh"}},
    {"groupsButton", {"编组设置", "Groups"}},
    {"passwordButton", {"修改密码", "Password"}},
    {"aboutButton", {"关于", "About"}},
    {"exitButton", {"退出", "Exit"}},
    {"languageSelector", {"语言", "Language"}},
    {"portSelector", {"串口", "Serial port"}},
    {"fastBusCheck", {"快速总线", "Fast bus"}},
    {"groupList", {"编组列表", "Groups list"}},
    {"deviceList", {"设备列表", "Devices list"}},
    {"upButton", {"上升", "Up"}},
    {"downButton", {"下降", "Down"}},
    {"stopButton", {"停止", "Stop"}},
    {"forwardButton", {"向前倾斜", "Tilt forward"}},
    {"backwardButton", {"向后倾斜", "Tilt backward"}},
    {"periodEdit", {"自检周期（秒）", "Self-check period (seconds)"}},
    {"selfCheckButton", {"自检", "Self-check"}},
    {"rangeStartEdit", {"搜索起始ID", "Search from ID"}},
    {"rangeEndEdit", {"搜索结束ID", "Search to ID"}},
    {"searchButton", {"搜索", "Search"}},
    {"trafficLog", {"串口通讯记录", "Traffic log"}},
    {"clearButton", {"清除通讯记录", "Clear the traffic log"}},
    {"statusBar", {"状态栏", "Status bar"}},
};
inline constexpr Text ColumnHeadersName{"设备列表的列标题", "Columns of the devices list"};
inline constexpr Text RangeDescription{"介于1～999之间的设备ID。", "A device ID between 1 and 999."};
inline constexpr Text PeriodDescription{"介于60～360之间的秒数。", "Seconds between 60 and 360."};
inline constexpr Text PortLostRecord{"串口断开", "port lost"};
inline constexpr Text PortBackRecord{"串口恢复", "port back"};
inline constexpr Text StopAllNotSentText{"全部停止未能送到总线：串口 %1 没有打开。\n设备可能仍在运动；串口恢复后立即发送停止。",
                                         "Stop all did not reach the bus: the port %1 is not open.\n"
                                         "The devices may still be moving; the stop goes out as soon as the port is back."};
inline constexpr Text OldBusMovingText{"串口 %1 上的这些设备可能仍在运动（停止未能送出）：\n%2",
                                       "These devices on %1 may still be moving (their stop could not be sent):\n%2"};
inline constexpr Text CloseWhileMovingText{"设备可能仍在运动：停止它们并关闭？", "Devices may still be moving: stop them and close?"};
inline constexpr Text ListSeparator{"、", ", "};
inline constexpr Text EveryDeviceNamed{"所有设备", "every device"};
inline constexpr Text GroupNamed{"组 %1", "group %1"};
inline constexpr Text DeviceNamed{"设备 %2（组 %1）", "device %2 (group %1)"};

inline constexpr Text SearchRangeWrongText{"ID搜索范围输入错误。请输入介于1～999之间的数值。", "The range of ID is WRONG."};
inline constexpr Text ConfirmSearchText{"搜索设备将清空原有设备的编组信息，是否继续？",
                                        "All device's information will be cleared by the operation of 'Clear'. \r"
                                        "Do you want to continue?"};
inline constexpr Text SelectMembersText{"请先选择需要操作的成员。", "Please select the members to operate firstly. "};
inline constexpr Text PeriodRangeText{"请输入介于60～360之间的数字。", "Please input numbers between 60～360."};
inline constexpr Text RangeStartDigitsText{"请输入介于1～999之间的数字。", "Please input numbers between 1～999."};
inline constexpr Text RangeEndDigitsText{"请输入数字。", "Please input numbers."};
inline constexpr Text SearchProgressText{"搜索所有在线的设备：%1/%2", "Search all online device：%1/%2"};
// The device tried, and why it did not open as far as can be told.
inline constexpr Text PortErrorMessage{"串口打开出错。\n%1：%2", "Error opening serial port. \n%1: %2"};
inline constexpr Text PortTriedText{"%1（%2）", "%1 (%2)"};
inline constexpr Text PortMissingReason{"设备不存在（未连接，或名称有误）", "no such device (not plugged in, or a wrong name)"};
inline constexpr Text PortNoPermissionReason{"没有读写权限（请把用户加入 dialout 组并重新登录）",
                                             "no permission to read and write it (add the user to the dialout group and log in again)"};
inline constexpr Text PortBusyReason{"正被其他程序使用，或不是串口", "in use by another program, or not a serial port"};
inline constexpr Text PortUnknownReason{"不存在，或正被其他程序使用", "absent, or in use by another program"};
inline constexpr Text PortNotConnectedReason{"未连接到串口服务器", "the device server is not connected"};
inline constexpr Text PortErrorPanel{"%1打开出错", "Error opening %1"};
// A port on a device server: what the connection is doing, and why it did not open.
inline constexpr Text NetworkConnectingPanel{"正在连接%1……", "Connecting to %1..."};
inline constexpr Text NetworkLostPanel{"%1连接断开", "%1 connection lost"};
inline constexpr Text NetworkErrorMessage{"串口%1打开出错：\n%2", "Error opening serial port %1:\n%2"};
inline constexpr Text ReaddressUnansweredText{"以下设备在新地址上没有应答：%1",
                                              "These devices did not answer at their new address: %1"};
inline constexpr Text SettingsNotSavedText{"设置文件 %1 无法保存，本次更改只在本次运行中有效。",
                                           "The settings file %1 could not be saved; the change holds for this run only."};
inline constexpr Text SettingsDiskFullText{"设置文件 %1 无法保存（磁盘已满），本次更改只在本次运行中有效。",
                                           "The settings file %1 could not be saved (disk full); the change holds for this run only."};
inline constexpr Text TargetsNotInRegisterText{"以下设备已不在登记表中，未发送动作命令：%1",
                                               "These devices are no longer in the register and were not moved: %1"};
inline constexpr Text ReaddressSharedText{"以下新地址上有不止一个设备应答（或应答混乱）：%1\n多个设备现在共用这个地址，请重新搜索。",
                                          "More than one device (or a garbled answer) was heard at these new addresses: %1\n"
                                          "Several devices now share that address; a search is needed."};
inline constexpr Text ReaddressDroppedText{"以下设备的编组移动没有发送出去，登记表保持原样：%1",
                                           "These moves never went out and the register keeps the devices where they were: %1"};
inline constexpr Text DroppedRecord{"未发送（全部停止）", "dropped (stop all)"};
// Stop all, and the line under the motion buttons that says what a press moves.
inline constexpr Text TextStopAll{"全部停止", "Stop all"};
inline constexpr Text StopAllHint{"停止所有设备（F12，任何窗口中均可）。本软件的全部停止不能代替设备的硬接线急停。",
                                  "Stop every device (F12, from any window). The software's stop-all does not replace the "
                                  "installation's hard-wired emergency stop."};
inline constexpr Text TargetAllDevices{"所有设备", "All devices"};
inline constexpr Text TargetGroups{"组 %1", "Groups %1"};
inline constexpr Text TargetDevices{"设备 %1（组 %2）", "Devices %1 (group %2)"};
inline constexpr Text TargetDevicesMixed{"设备 %1", "Devices %1"};
// A device's state as its ball's tool tip says it, and the tint of a row a press would move; the
// legend under the list names the same four.
inline constexpr Text StateOnLine{"在线", "On line"};
inline constexpr Text StateOffLine{"离线：最近一次查询没有应答", "Off line: its last query was not answered"};
inline constexpr Text StateNotAsked{"尚未询问", "Not asked yet"};
inline constexpr Text RowMovedByPress{"按上升、下降或倾斜时会移动", "Moves when Up, Down or a tilt is pressed"};
inline constexpr Text LegendOnLine{"在线", "on line"};
inline constexpr Text LegendOffLine{"离线", "off line"};
inline constexpr Text LegendNotAsked{"尚未询问", "not asked yet"};
inline constexpr Text LegendMovedByPress{"按下时会移动", "moves on a press"};
inline constexpr Text TargetNothing{"未选择——停止键停止所有设备", "Nothing selected — Stop stops all"};
inline constexpr Text TargetSelfCheck{"自检中：%1", "Self-check: %1"};
inline constexpr Text TargetNotInRegister{"不在登记表中：%1", "Not in the register: %1"};
inline constexpr const char* PortSettingsPanel = "%1，4800，8，N，1";

} // namespace mainwindow
