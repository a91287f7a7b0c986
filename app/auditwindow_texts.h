// The audit window's texts, one (Chinese, English) pair each.
#pragma once

#include "common/texts.h"

namespace auditwindow {

inline constexpr Text Title{"审计", "Audit"};
inline constexpr Text FromLabel{"从", "From"};
inline constexpr Text ToLabel{"至", "to"};
inline constexpr Text ActionLabel{"操作", "Action"};
inline constexpr Text DeviceLabel{"设备", "Devices"};
inline constexpr Text DevicePlaceholder{"组:ID，如 1:5, 1:6", "G:ID, e.g. 1:5, 1:6"};
inline constexpr Text AllActions{"全部", "All"};
inline constexpr Text Apply{"查询", "Apply"};
inline constexpr Text ExportCsv{"导出 CSV", "Export CSV"};
inline constexpr Text ExportPicture{"导出图片", "Export picture"};
inline constexpr Text RowCount{"共 %1 条记录", "%1 rows"};
inline constexpr Text TimelineCaption{"在线记录", "On-line history"};
inline constexpr Text Today{"今天", "Today"};
inline constexpr Text WholeRecord{"全部记录", "Whole record"};
inline constexpr Text TimelineHint{"滚动鼠标滚轮缩放时间轴，在设备条上拖出一段时间以放大该段。",
                                   "Turn the wheel to zoom the time axis; drag across the lanes to zoom into that stretch."};
// The on-line state of a device in the table's detail, as the record's other details are worded.
inline constexpr const char* StateDetails[] = {"unknown", "on line", "off line"};

inline constexpr Text BadDevice{"设备“%1”无法识别：请写作 组:ID，组为 0–15，ID 为 1–999，多个设备以逗号分隔，例如 1:5, 1:6。",
                                "The device \"%1\" is not understood: write it as G:ID, the group from 0 to 15 and "
                                "the ID from 1 to 999, several devices apart by commas, e.g. 1:5, 1:6."};
inline constexpr Text CsvFailed{"无法导出审计记录到文件 %1：\n%2", "The audit record could not be exported to %1:\n%2"};
inline constexpr Text PictureFailed{"无法保存在线记录图片到文件 %1：\n%2",
                                    "The on-line history picture could not be saved to %1:\n%2"};
inline constexpr Text CsvDialogTitle{"导出审计记录", "Export the audit record"};
inline constexpr Text PictureDialogTitle{"导出在线记录图片", "Export the on-line history picture"};
inline constexpr Text CsvFilter{"CSV 表格 (*.csv)", "CSV spreadsheet (*.csv)"};
inline constexpr Text PictureFilter{"PNG 图片 (*.png)", "PNG picture (*.png)"};

// The table's columns, in order.
inline constexpr Text Headers[] = {
    {"时间", "Time"},     {"级别", "Level"},    {"来源", "Source"}, {"用户", "User"},
    {"操作", "Action"},   {"详情", "Detail"},   {"设备", "Devices"},
};

// The access levels as the record names them (ModeSuperUser .. ModeNone).
struct LevelName {
    int level;
    Text name;
};
inline constexpr LevelName LevelNames[] = {
    {0, {"超级用户", "Super user"}},
    {1, {"管理员", "Administrator"}},
    {2, {"操作员", "Operator"}},
    {15, {"未登录", "Not logged in"}},
};

// The faces that record actions.
struct SourceName {
    const char* key;
    Text name;
};
inline constexpr SourceName SourceNames[] = {
    {"window", {"主窗口", "window"}},
    {"tarvello-ctl", {"tarvello-ctl", "tarvello-ctl"}},
};

// The actions the record holds, by the key stored in Audit.DB.
struct ActionName {
    const char* key;
    Text name;
};
inline constexpr ActionName ActionNames[] = {
    {"log-in", {"登录", "Log-in"}},
    {"level-raised", {"提升级别", "Level raised"}},
    {"move", {"运动", "Move"}},
    {"stop-all", {"全部停止", "Stop all"}},
    {"search", {"搜索", "Search"}},
    {"readdress", {"重新编址", "Re-address"}},
    {"add", {"添加", "Add"}},
    {"delete", {"删除", "Delete"}},
    {"rename", {"改名", "Rename"}},
    {"backup", {"备份", "Backup"}},
    {"restore", {"恢复", "Restore"}},
    {"convert", {"转换", "Convert"}},
    {"port", {"串口", "Port"}},
    {"password-change", {"修改密码", "Password change"}},
    {"self-check", {"自检", "Self-check"}},
    {"keep", {"清理过期记录", "Old rows removed"}},
    {"state", {"在线状态", "On-line state"}},
};
// The key of the rows that stand for a change of a named device's on-line state.
inline constexpr char StateAction[] = "state";

// The timeline strip.
inline constexpr Text Online{"在线", "On line"};
inline constexpr Text Offline{"离线", "Off line"};
inline constexpr Text Unknown{"未知", "Unknown"};
inline constexpr Text NoDevices{"请在“设备”栏输入设备，或在表中选择记录，以显示其在线记录。",
                                "Type devices in the Devices field, or select rows in the table, to see their on-line history."};

} // namespace auditwindow
