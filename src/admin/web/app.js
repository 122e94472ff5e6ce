// The gateway's web console. The admin token is kept in this script's memory only (no
// cookie, no storage): every request carries it as a bearer token, so nothing another site
// makes the browser send can act here. Texts in Chinese or English by the browser's language.
(function () {
  "use strict";

  const TEXTS = {
    en: {
      title: "Gateway", token: "Admin token", login: "Log in", tokenHint:
        "The token stays in this page's memory only and is sent with each request.",
      sessions: "Sessions", msgIn: "Messages in /s", msgOut: "Messages out /s", links: "Links",
      drain: "Drain", chartSessions: "Sessions", chartMessages: "Messages per second",
      chartRefusals: "Refusals per second by reason",
      chartsMissing: "The charting library is not built into this gateway.",
      sessionsTitle: "Sessions", searchHint: "Address prefix or account", allSteps: "All steps",
      stepToken: "Token check", stepLogin: "Logging in", stepGame: "In game", stepNone: "Idle",
      search: "Search", handle: "Handle", address: "Address", step: "Step", account: "Account",
      player: "Player", since: "Connected since", trafficIn: "In (messages / bytes)",
      trafficOut: "Out (messages / bytes)", worker: "Worker", kick: "Kick", more: "More",
      blockTitle: "Block lists", blockHint: "Address, prefix* or address/bits",
      permanent: "Permanent", temporary: "Temporary", add: "Add", remove: "Remove",
      actions: "Service", reload: "Reload settings", drainButton: "Start drain", logTitle: "Log",
      badToken: "The token was refused.", up: "up", down: "down", logic: "logic", loginLink: "login",
      confirmKick: "Kick session {0} ({1})?", confirmDrain: "Start a drain of this gateway?",
      kicked: "Session {0} kicked.", total: "{0} sessions", uptime: "up {0}",
      added: "{0} added to the {1} list.", removed: "{0} removed.", inIn: "in", outOut: "out",
      reloadOk: "Reloaded.", reloadFailed: "The reload failed; every old setting stays.",
      restartNeeded: "Some changes take effect at the next start.", noChanges: "Nothing changed.",
      notRunning: "not serving"
    },
    zh: {
      title: "游戏网关", token: "管理令牌", login: "登录", tokenHint: "令牌只保存在本页内存中，随每个请求发送。",
      sessions: "在线会话", msgIn: "每秒收到消息", msgOut: "每秒发出消息", links: "服务器连接",
      drain: "排空", chartSessions: "在线会话", chartMessages: "每秒消息数",
      chartRefusals: "每秒拒绝连接（按原因）", chartsMissing: "此网关未内置图表库。",
      sessionsTitle: "会话列表", searchHint: "地址前缀或账号", allSteps: "全部状态",
      stepToken: "等待验证", stepLogin: "登录中", stepGame: "游戏中", stepNone: "空闲",
      search: "查找", handle: "句柄", address: "地址", step: "当前状态", account: "账号",
      player: "角色名", since: "连接时间", trafficIn: "收到(消息/字节)",
      trafficOut: "发出(消息/字节)", worker: "工作线程", kick: "踢出", more: "更多",
      blockTitle: "IP 过滤列表", blockHint: "地址、前缀* 或 地址/位数",
      permanent: "永久过滤", temporary: "临时过滤", add: "添加", remove: "删除",
      actions: "服务", reload: "重新加载配置", drainButton: "开始排空", logTitle: "日志",
      badToken: "令牌被拒绝。", up: "已连接", down: "未连接", logic: "逻辑服务器", loginLink: "登录服务器",
      confirmKick: "踢出会话 {0}（{1}）？", confirmDrain: "开始排空此网关？",
      kicked: "会话 {0} 已踢出。", total: "共 {0} 个会话", uptime: "已运行 {0}",
      added: "{0} 已加入{1}列表。", removed: "{0} 已删除。", inIn: "收", outOut: "发",
      reloadOk: "已重新加载。", reloadFailed: "重新加载失败，旧设置全部保留。",
      restartNeeded: "部分更改在下次启动时生效。", noChanges: "没有更改。", notRunning: "未在服务"
    }
  };
  const lang = (navigator.languages && navigator.languages[0] || navigator.language || "en")
    .toLowerCase().startsWith("zh") ? "zh" : "en";
  const T = TEXTS[lang];
  const t = (key, ...args) => (T[key] || key).replace(/\{(\d)\}/g, (_, i) => String(args[i]));
  const $ = (id) => document.getElementById(id);

  let token = "";
  let logAfter = 0;
  let sessionsNext = null;
  const timers = [];
  const charts = {};

  function applyTexts() {
    document.documentElement.lang = lang === "zh" ? "zh-CN" : "en";
    document.querySelectorAll("[data-t]").forEach((el) => { el.textContent = t(el.dataset.t); });
    document.querySelectorAll("[data-tp]").forEach((el) => { el.placeholder = t(el.dataset.tp); });
    document.title = t("title");
  }

  class ApiError extends Error {
    constructor(status, message, data) { super(message); this.status = status; this.data = data; }
  }

  async function api(method, path, body) {
    const init = { method, headers: { "Authorization": "Bearer " + token }, cache: "no-store",
                   credentials: "omit" };
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    let data = null;
    try { data = await response.json(); } catch (e) { data = null; }
    if (response.status === 401) { logOut(); throw new ApiError(401, t("badToken")); }
    if (!response.ok) {
      throw new ApiError(response.status, (data && data.error) || ("HTTP " + response.status), data);
    }
    return data;
  }

  function text(el, value, cls) {
    el.textContent = value;
    if (cls !== undefined) el.className = cls;
  }

  function cell(row, value) {
    const td = document.createElement("td");
    td.textContent = value;
    row.appendChild(td);
    return td;
  }

  function duration(seconds) {
    seconds = Math.floor(seconds);
    const d = Math.floor(seconds / 86400), h = Math.floor(seconds % 86400 / 3600),
      m = Math.floor(seconds % 3600 / 60), s = seconds % 60;
    return (d ? d + "d " : "") + String(h).padStart(2, "0") + ":" + String(m).padStart(2, "0") +
      ":" + String(s).padStart(2, "0");
  }

  function stepText(step) {
    return t({ token: "stepToken", login: "stepLogin", game: "stepGame" }[step] || "stepNone");
  }

  // --- Status and charts ---------------------------------------------------------------
  function chart(id, series, data) {
    if (typeof window.uPlot !== "function") { $("charts-missing").hidden = false; return; }
    if (!charts[id]) {
      const colours = ["#2a6fdb", "#d9480f", "#2b8a3e", "#ae3ec9", "#e8590c"];
      const opts = {
        width: 420, height: 200,
        series: [{}].concat(series.map((label, i) => ({ label, stroke: colours[i % colours.length],
                                                        width: 2 }))),
        axes: [{}, { size: 50 }], scales: { x: { time: true } }, legend: { live: false }
      };
      charts[id] = new window.uPlot(opts, data, $(id));
    } else {
      charts[id].setData(data);
    }
  }

  async function refreshStatus() {
    const s = await api("GET", "/api/status");
    text($("session-count"), String(s.sessions.total));
    text($("session-steps"), stepText("token") + " " + s.sessions.token + " · " +
      stepText("login") + " " + s.sessions.login + " · " + stepText("game") + " " + s.sessions.game);
    const h = s.history;
    const last = (a) => (a.length ? a[a.length - 1] : 0);
    text($("rate-in"), last(h.messages_in_per_s).toFixed(1));
    text($("rate-out"), last(h.messages_out_per_s).toFixed(1));
    const links = $("links");
    links.replaceChildren();
    [["logic", s.links.logic], ["loginLink", s.links.login]].forEach(([name, link]) => {
      const span = document.createElement("div");
      span.textContent = t(name) + " " + link.address + ": " + t(link.up ? "up" : "down") +
        (link.reconnects ? " (" + link.reconnects + ")" : "");
      span.className = link.up ? "up" : "down";
      links.appendChild(span);
    });
    text($("drain-state"), s.drain.available ? s.drain.state : "—");
    text($("summary"), s.version + " · " + t("uptime", duration(s.uptime_s)) +
      (s.serving ? "" : " · " + t("notRunning")));
    chart("chart-sessions", [t("sessions")], [h.time, h.sessions]);
    chart("chart-messages", [t("inIn"), t("outOut")],
      [h.time, h.messages_in_per_s, h.messages_out_per_s]);
    const reasons = Object.keys(h.refused_per_s);
    chart("chart-refusals", reasons, [h.time].concat(reasons.map((r) => h.refused_per_s[r])));
  }

  // --- Sessions ------------------------------------------------------------------------
  async function refreshSessions(append) {
    const params = new URLSearchParams();
    const q = $("session-q").value.trim();
    const step = $("session-step").value;
    if (q) params.set("q", q);
    if (step) params.set("step", step);
    params.set("limit", "200");
    if (append && sessionsNext !== null) params.set("after", String(sessionsNext));
    const data = await api("GET", "/api/sessions?" + params.toString());
    const body = $("sessions-table").tBodies[0];
    if (!append) body.replaceChildren();
    data.sessions.forEach((s) => {
      const row = document.createElement("tr");
      row.dataset.handle = String(s.handle);
      cell(row, String(s.handle));
      cell(row, s.address);
      cell(row, stepText(s.step));
      cell(row, s.account);
      cell(row, s.player);
      cell(row, new Date(s.connected_since * 1000).toLocaleString());
      cell(row, s.messages_in + " / " + s.bytes_in);
      cell(row, s.messages_out + " / " + s.bytes_out);
      cell(row, String(s.worker));
      const button = document.createElement("button");
      button.type = "button";
      button.className = "kick";
      button.dataset.handle = String(s.handle);
      button.textContent = t("kick");
      button.addEventListener("click", () => kick(s.handle, s.address));
      cell(row, "").appendChild(button);
      body.appendChild(row);
    });
    sessionsNext = data.next;
    $("sessions-more").hidden = data.next === null;
    text($("session-total"), t("total", data.total));
  }

  async function kick(handle, address) {
    if (!window.confirm(t("confirmKick", handle, address))) return;
    try {
      await api("POST", "/api/sessions/" + handle + "/kick");
      text($("action-result"), t("kicked", handle), "ok");
    } catch (e) {
      text($("action-result"), e.message, "error");
    }
    await refreshSessions(false).catch(() => {});
  }

  // --- Block lists ---------------------------------------------------------------------
  function fillList(id, list, entries) {
    const ul = $(id);
    ul.replaceChildren();
    entries.forEach((entry) => {
      const li = document.createElement("li");
      const span = document.createElement("span");
      span.textContent = entry;
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = t("remove");
      button.addEventListener("click", async () => {
        try {
          await api("DELETE", "/api/blocklist", { address: entry, list });
          text($("block-result"), t("removed", entry), "ok");
        } catch (e) {
          text($("block-result"), e.message, "error");
        }
        refreshBlockList().catch(() => {});
      });
      li.append(span, button);
      ul.appendChild(li);
    });
  }

  async function refreshBlockList() {
    const data = await api("GET", "/api/blocklist");
    fillList("permanent-list", "permanent", data.permanent);
    fillList("temporary-list", "temporary", data.temporary);
  }

  async function addBlock(event) {
    event.preventDefault();
    const address = $("block-address").value.trim();
    const list = $("block-list").value;
    try {
      const r = await api("POST", "/api/blocklist", { address, list });
      text($("block-result"), t("added", r.added, t(list)) + (r.warning ? " " + r.warning : ""), "ok");
      $("block-address").value = "";
    } catch (e) {
      text($("block-result"), e.message, "error");
    }
    refreshBlockList().catch(() => {});
  }

  // --- Reload and drain ----------------------------------------------------------------
  async function reload() {
    const out = $("action-result");
    const show = (r) => {
      const lines = [r.ok ? t("reloadOk") : t("reloadFailed")];
      r.changes.forEach((c) => lines.push("  " + c.text));
      if (r.ok && !r.changes.length) lines.push("  " + t("noChanges"));
      if (r.restart_needed) lines.push(t("restartNeeded"));
      r.problems.forEach((p) => lines.push(p.file + (p.line ? ":" + p.line : "") + ": " +
        p.severity + ": " + p.text));
      text(out, lines.join("\n"), r.ok ? "ok" : "error");
    };
    try {
      show(await api("POST", "/api/reload"));
    } catch (e) {
      // A reload that failed answers 422 with what was wrong, file and line.
      if (e.data && Array.isArray(e.data.problems)) {
        show(e.data);
      } else {
        text(out, e.message, "error");
      }
    }
  }

  async function drain() {
    if (!window.confirm(t("confirmDrain"))) return;
    try {
      const r = await api("POST", "/api/drain");
      text($("action-result"), JSON.stringify(r), "ok");
    } catch (e) {
      text($("action-result"), e.message, "error");
    }
  }

  // --- Log tail ------------------------------------------------------------------------
  async function refreshLog() {
    const data = await api("GET", "/api/log?after=" + logAfter + "&limit=500");
    const box = $("log");
    const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    data.lines.forEach((line) => {
      const div = document.createElement("div");
      div.className = "lv-" + line.level;
      div.textContent = line.text;
      box.appendChild(div);
      logAfter = line.seq;
    });
    while (box.childElementCount > 2000) box.removeChild(box.firstElementChild);
    if (atBottom) box.scrollTop = box.scrollHeight;
  }

  // --- Log in and out ------------------------------------------------------------------
  function every(ms, task) {
    const run = () => task().catch(() => {});
    run();
    timers.push(window.setInterval(run, ms));
  }

  function logOut() {
    token = "";
    timers.splice(0).forEach((id) => window.clearInterval(id));
    $("console").hidden = true;
    $("login-panel").hidden = false;
  }

  async function logIn(event) {
    event.preventDefault();
    token = $("token").value.trim();
    $("token").value = "";
    try {
      await refreshStatus();
    } catch (e) {
      text($("login-error"), e.message, "error");
      token = "";
      return;
    }
    text($("login-error"), "");
    $("login-panel").hidden = true;
    $("console").hidden = false;
    every(5000, refreshStatus);
    every(5000, () => refreshSessions(false));
    every(15000, refreshBlockList);
    every(2000, refreshLog);
  }

  document.addEventListener("DOMContentLoaded", () => {
    applyTexts();
    $("login-form").addEventListener("submit", logIn);
    $("session-search").addEventListener("submit", (e) => {
      e.preventDefault();
      refreshSessions(false).catch((err) => text($("session-total"), err.message, "error"));
    });
    $("sessions-more").addEventListener("click", () => refreshSessions(true).catch(() => {}));
    $("block-form").addEventListener("submit", addBlock);
    $("reload").addEventListener("click", reload);
    $("drain").addEventListener("click", drain);
  });
})();
