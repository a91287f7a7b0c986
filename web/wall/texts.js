// Every text the wall shows, in Simplified Chinese and English. The words are the control
// centre's own (在线, 离线, 未知, 组, 设备, 场景, 串口, and the audit record's levels and actions).
'use strict';

window.TarvelloWallTexts = {
  texts: {
    title: { zh: 'Tarvello 状态总览', en: 'Tarvello wall' },
    otherLanguage: { zh: 'English', en: '中文' },
    site: { zh: '站点', en: 'Site' },
    allSites: { zh: '全部站点', en: 'All sites' },
    problemsOnly: { zh: '只显示异常', en: 'problems only' },
    logOut: { zh: '退出登录', en: 'Log out' },

    connecting: { zh: '正在连接 MQTT 服务器 %1…', en: 'Connecting to the MQTT broker %1…' },
    connected: { zh: '已连接 MQTT 服务器 %1。', en: 'Connected to the MQTT broker %1.' },
    brokerLost: { zh: 'MQTT 服务器断开，后台重试中', en: 'MQTT broker lost, retrying' },
    noBroker: {
      zh: '请在地址中指明 MQTT 服务器，例如 index.html?broker=ws://主机:端口',
      en: 'Name the MQTT broker in the address, e.g. index.html?broker=ws://host:port',
    },
    badBroker: {
      zh: '%1 不是 MQTT 服务器的地址：应为 ws://主机:端口 或 wss://主机:端口。',
      en: '%1 is not an MQTT broker address: it should be ws://host:port or wss://host:port.',
    },
    mixedContent: {
      zh: '本页经 https 打开，浏览器不允许连接 %1：请使用 wss:// 地址。',
      en: 'This page came over https, so the browser does not allow %1: use a wss:// address.',
    },

    loginTitle: { zh: 'MQTT 服务器要求登录', en: 'The MQTT broker asks you to log in' },
    userName: { zh: '用户名', en: 'User name' },
    password: { zh: '密码', en: 'Password' },
    logIn: { zh: '登录', en: 'Log in' },
    loginNote: {
      zh: '用户名和密码只保存在本标签页中，关闭即清除。',
      en: 'The user name and password are kept in this tab only, and gone when it closes.',
    },
    loginRefused: {
      zh: 'MQTT 服务器拒绝了这个用户名和密码。',
      en: 'The MQTT broker refused this user name and password.',
    },

    summary: {
      zh: '站点 %1，运行中 %2 · 设备 %3：在线 %4，离线 %5，未知 %6，过期 %7',
      en: '%1 sites, %2 running · %3 devices: %4 on line, %5 off line, %6 unknown, %7 stale',
    },
    noSites: {
      zh: '还没有控制中心在这个 MQTT 服务器上发布。',
      en: 'No control centre has published to this MQTT broker yet.',
    },
    noProblems: { zh: '没有异常。', en: 'No problems.' },

    running: { zh: '运行中', en: 'running' },
    runningVersion: { zh: '运行中（%1 版）', en: 'running (version %1)' },
    notRunningSince: { zh: '自 %1 起未运行', en: 'not running since %1' },
    notRunningBefore: { zh: '未运行（%1 之前已停止）', en: 'not running (since before %1)' },
    noStatus: { zh: '运行状态未知', en: 'Running or not: unknown' },
    portOpen: { zh: '串口 %1：已打开', en: 'Port %1: open' },
    portLost: { zh: '串口 %1：串口断开', en: 'Port %1: lost' },
    portClosed: { zh: '串口 %1：未打开', en: 'Port %1: not open' },
    level: { zh: '级别：%1', en: 'Level: %1' },

    counts: { zh: '在线 %1 · 离线 %2 · 未知 %3 · 过期 %4', en: '%1 on line · %2 off line · %3 unknown · %4 stale' },
    groupCounts: { zh: '%1/%2 在线', en: '%1 of %2 on line' },
    scene: { zh: '场景 %1', en: 'Scene %1' },
    sceneNotOpen: { zh: '场景 %1（未打开，显示最后状态）', en: 'Scene %1 (not open: the last states it had)' },
    group: { zh: '组 %1', en: 'Group %1' },
    groupNamed: { zh: '组 %1 %2', en: 'Group %1 %2' },
    bus: { zh: '总线', en: 'Bus' },

    online: { zh: '在线', en: 'On line' },
    offline: { zh: '离线', en: 'Off line' },
    unknown: { zh: '未知', en: 'Unknown' },
    stale: { zh: '过期', en: 'Stale' },
    staleNotRunning: { zh: '过期：控制中心未运行，无人查询', en: 'Stale: its control centre is not running, nobody asks it' },
    staleOtherScene: { zh: '过期：该场景未打开，无人查询', en: 'Stale: its scene is not open, nobody asks it' },
    staleNotPolled: {
      zh: '过期：三个查询周期（每周期 %1 秒）内未被查询',
      en: 'Stale: not asked for three poll periods (%1 s each)',
    },

    device: { zh: '设备 %1', en: 'Device %1' },
    lastPoll: { zh: '上次查询：%1', en: 'Last poll: %1' },
    lastPollNever: { zh: '上次查询：尚未查询', en: 'Last poll: not asked yet' },
    health: { zh: '线路状况', en: 'Health' },
    healthNone: { zh: '线路状况：未发布', en: 'Health: not published' },
    answerRate: { zh: '应答率', en: 'Answer rate' },
    medianMs: { zh: '应答时间中位数', en: 'Median answer time' },
    p95Ms: { zh: '应答时间 95%', en: '95th percentile answer time' },
    timeouts: { zh: '超时', en: 'Time-outs' },
    garbled: { zh: '错误应答', en: 'Garbled' },
    late: { zh: '迟到应答', en: 'Late' },
    milliseconds: { zh: '%1 毫秒', en: '%1 ms' },

    events: { zh: '最近事件（%1）', en: 'Latest events (%1)' },
    noEvents: { zh: '本页打开以来没有事件。', en: 'No events since this page opened.' },
    user: { zh: '用户 %1', en: 'user %1' },

    legend: { zh: '图例', en: 'Legend' },
  },

  // The access levels as the status and the audit record name them.
  levels: {
    'super-user': { zh: '超级用户', en: 'Super user' },
    administrator: { zh: '管理员', en: 'Administrator' },
    operator: { zh: '操作员', en: 'Operator' },
    none: { zh: '未登录', en: 'Not logged in' },
  },

  // The faces that record actions.
  sources: {
    window: { zh: '主窗口', en: 'window' },
    'tarvello-ctl': { zh: 'tarvello-ctl', en: 'tarvello-ctl' },
  },

  // The actions of the audit record, by their stored key.
  actions: {
    'log-in': { zh: '登录', en: 'Log-in' },
    move: { zh: '运动', en: 'Move' },
    'stop-all': { zh: '全部停止', en: 'Stop all' },
    search: { zh: '搜索', en: 'Search' },
    readdress: { zh: '重新编址', en: 'Re-address' },
    add: { zh: '添加', en: 'Add' },
    delete: { zh: '删除', en: 'Delete' },
    rename: { zh: '改名', en: 'Rename' },
    backup: { zh: '备份', en: 'Backup' },
    restore: { zh: '恢复', en: 'Restore' },
    convert: { zh: '转换', en: 'Convert' },
    port: { zh: '串口', en: 'Port' },
    'password-change': { zh: '修改密码', en: 'Password change' },
    'self-check': { zh: '自检', en: 'Self-check' },
    keep: { zh: '清理过期记录', en: 'Old rows removed' },
  },
};
