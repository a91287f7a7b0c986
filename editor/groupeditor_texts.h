// The editor window's texts, one (Chinese, English) pair each.
#pragma once

#include "common/texts.h"

namespace groupset {

inline constexpr Text Caption{"编组设置", "Setting Groups"};
inline constexpr Text NameColumn{"名   称", "Name"};
inline constexpr Text GroupNameBox{" 组名编辑 ", " Edit Groups "};
inline constexpr Text RenameButton{"修改组名", "Change Name"};
inline constexpr Text DeviceBox{" 设备编辑 ", " Edit Members "};
inline constexpr Text GroupRow{"组别：", "Group: "};
inline constexpr Text NameRow{"名称：", "Name: "};
inline constexpr Text OldColumn{"原信息", "Old information"};
inline constexpr Text NewColumn{"新信息", "New information"};
inline constexpr Text AddButton{"增加设备", "Add"};
inline constexpr Text DeleteButton{"删除设备", "Delete"};
inline constexpr Text ModifyButton{"选择修改", "Modify"};
inline constexpr Text ForceModifyButton{"强制修改", "Force-modify"};
inline constexpr Text BackupBox{"数据备份", "Backup data"};
inline constexpr Text BackupButton{"数据备份", "Backup data"};
inline constexpr Text RestoreButton{"数据恢复", "Recover data"};
inline constexpr Text UndoSearchButton{"撤销上次搜索", "Undo last search"};
// %1: the copy of the device table made before the last search.
inline constexpr Text UndoSearchConfirmation{
    "用上次搜索前的设备表（%1）替换当前的设备表吗？搜索后所作的设备更改将会丢失。",
    "Bring back the device table from before the last search (%1)? The devices as the search and later "
    "changes left them are replaced."};
// %1: as above. Devices re-addressed since the search no longer stand where that table has them.
inline constexpr Text UndoSearchAfterReaddress{
    "上次搜索之后已有设备被改址，搜索前的设备表（%1）中的地址已不再符合总线上的设备，不能撤销搜索。请重新搜索，或恢复备份数据。",
    "Devices have been re-addressed since the last search: the device table from before it (%1) no longer "
    "has them where they are on the bus, so the search cannot be undone. Search again, or recover backup data."};
inline constexpr Text NoSearchCopy{"没有上次搜索前的设备表（%1），未作更改。",
                                   "There is no device table from before a search (%1); nothing was changed."};
// Said in the status line when a name was cut to what its field holds.
inline constexpr Text GroupNameCut{"组名最多16个字节（一个汉字占2个字节），超出部分已截去。",
                                   "A group name holds 16 bytes (a Chinese character takes 2); the rest was cut off."};
inline constexpr Text DeviceNameCut{"设备名称最多40个字节（一个汉字占2个字节），超出部分已截去。",
                                    "A device name holds 40 bytes (a Chinese character takes 2); the rest was cut "
                                    "off."};
inline constexpr Text ToAdvanced{"高级 >>", "Advance >>"};
inline constexpr Text ToCompact{"简洁 <<", "Compact <<"};
inline constexpr Text ExitButton{"退  出", "Exit"};
// Shown in English in place of the stored name of the ungrouped record.
inline constexpr Text Ungrouped{"未编组", "Ungrouped"};

// Left edges of the column heads in the device box, per language.
inline constexpr int OldColumnLeft[] = {59, 27};
inline constexpr int NewColumnLeft[] = {184, 152};

// %1: the new group as the selector shows it; %2: the new ID as typed.
inline constexpr Text ForceModifyWarning{
    "注意：强制修改功能只应适用于单台设备在线修改。如果多台设备在线时，使用强制修改功能将会使所有在线设备修改为相同的"
    "组别：%1，ID：%2。",
    "Note: the function of 'Force modify' should apply with modify the single online device. This function will "
    "modify all the online device with the same information of group: %1 and ID: %2."};

// Asked before a force-modify is written or sent. %1: the new group as the selector shows it; %2: the
// new ID.
inline constexpr Text ForceModifyConfirmation{
    "总线上的每一台设备都会改为组别：%1，ID：%2。确定继续吗？",
    "Every device on the bus will be set to group: %1, ID: %2. Continue?"};
// Asked before a modify re-addresses a device. %1, %2: the group as the selectors show it and the ID
// it has now; %3, %4: the new ones; %5: the device's name.
inline constexpr Text ReaddressGroupConfirmation{
    "设备“%5”将从组别：%1，ID：%2 改为组别：%3，ID：%4。此后发往组别 %1 的上升、下降和停止命令将不再到达该设备。"
    "确定继续吗？",
    "The device \"%5\" will be re-addressed from group: %1, ID: %2 to group: %3, ID: %4. Up, Down and Stop sent "
    "to group %1 will no longer reach it. Continue?"};
inline constexpr Text ReaddressIdConfirmation{
    "设备“%5”将从组别：%1，ID：%2 改为组别：%3，ID：%4。此后发往 ID %2 的命令将不再到达该设备。确定继续吗？",
    "The device \"%5\" will be re-addressed from group: %1, ID: %2 to group: %3, ID: %4. Frames sent to ID %2 "
    "will no longer reach it. Continue?"};
// %1: the ID of a device in the register that a frame cannot address on its own (0 is the whole group).
inline constexpr Text IdNotAddressable{"设备ID %1 不在1～999之间，不能在总线上单独改址。",
                                       "The device ID %1 is not between 1 and 999; it cannot be re-addressed "
                                       "on the bus on its own."};

inline constexpr Text IdDigitsOnly{"请输入介于1～999之间的数字。", "Please input numbers between 1～999."};
inline constexpr Text MemberIdEmpty{"成员ID不能为空。", "The member's ID can not be empty."};
inline constexpr Text AddIdZero{"设备ID必须大于0。", "The ID of this device must be more than 0."};
inline constexpr Text MemberIdExists{"该成员ID已存在。", "The ID of this member is already exist."};
inline constexpr Text DeviceNotFound{"该设备不存在。", "This member is not exist."};
inline constexpr Text DeviceInfoWrong{"设备信息错误。", "The information of the device is WRONG."};
inline constexpr Text ModifyIdEmpty{"设备ID不能为空，请选择要修改的设备。",
                                    "The member's ID can not be empty, please select one."};
inline constexpr Text ModifyIdZero{"设备ID必须大于0。", "The ID of the device must more than 0."};
// %1: the group label of the device holding the ID, %2: the ID as typed, %3: that device's name.
// The lines are separated by carriage returns.
inline constexpr Text ModifyIdTaken{"该成员已存在。\r组名：%1\rID：%2\r名称：%3", "The member is already exist."};
inline constexpr Text PortError{"串口打开出错。", "Error opening serial port. "};
inline constexpr Text GroupNameTooLong{"组名不能超过16个字节（一个汉字占2个字节），未作修改。",
                                       "A group name can have at most 16 bytes (a Chinese character takes 2); "
                                       "nothing was changed."};
inline constexpr Text DeviceNameTooLong{"设备名称不能超过40个字节（一个汉字占2个字节），未作修改。",
                                        "A device name can have at most 40 bytes (a Chinese character takes 2); "
                                        "nothing was changed."};

}  // namespace groupset
