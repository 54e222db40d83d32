// The shared dashboard: loads "/output.json", then waits on "/listen" for each change, and keeps
// going by itself when the application stops sharing and starts again.
"use strict";

(function () {
  const LISTEN_TIMEOUT_MS = 45000; // the server answers a wait within 30 s
  const RETRY_FIRST_MS = 1000;
  const RETRY_MAX_MS = 15000;
  const COLLAPSED_KEY = "quorvane.collapsedGroups";

  const dashboard = document.getElementById("dashboard");
  const statusBox = document.getElementById("status");
  const statusText = document.getElementById("status-text");
  const updated = document.getElementById("updated");
  const groupTemplate = document.getElementById("group-template");
  const moduleTemplate = document.getElementById("module-template");

  // What the page has seen, for anyone who wants to look (and for tests).
  const state = (window.quorvane = {
    renders: 0,
    reconnects: 0,
    version: null,
    connected: false,
  });

  let previousResults = new Map();
  let collapsed = loadCollapsed();

  function loadCollapsed() {
    try {
      const stored = JSON.parse(localStorage.getItem(COLLAPSED_KEY) || "{}");
      return stored && typeof stored === "object" ? stored : {};
    } catch (error) {
      return {};
    }
  }

  function saveCollapsed() {
    try {
      localStorage.setItem(COLLAPSED_KEY, JSON.stringify(collapsed));
    } catch (error) {
      // Private windows may refuse storage; folding then lasts for this page only.
    }
  }

  function setStatus(kind, text) {
    statusBox.dataset.state = kind;
    statusText.textContent = text;
  }

  // A group's name comes as "<emoji> <name>" when it has an emoji.
  const leadingEmoji = /^((?:\p{Extended_Pictographic}|\p{Regional_Indicator})[\p{Extended_Pictographic}\p{Regional_Indicator}\p{Emoji_Modifier}\u200d\ufe0f\u20e3]*)\s+(.*)$/u;

  function splitGroupName(name) {
    const text = typeof name === "string" ? name : "Group";
    const match = text.match(leadingEmoji);
    return match ? { emoji: match[1], title: match[2] } : { emoji: "", title: text };
  }

  // Only plain colours are used: "#abc", "#aabbcc" or "#aabbccdd" (with its alpha), with or without
  // "#". A fully transparent colour is no colour.
  function cssColor(value) {
    if (typeof value !== "string") return null;
    const hex = value.trim().replace(/^#/, "");
    if (!/^([0-9a-f]{3}|[0-9a-f]{6}|[0-9a-f]{8})$/i.test(hex)) return null;
    if (hex.length === 8 && /00$/.test(hex)) return null;
    return "#" + hex;
  }

  // Click targets become links only for web and mail addresses.
  function safeLink(value) {
    if (typeof value !== "string" || value.trim() === "") return null;
    try {
      const url = new URL(value.trim(), window.location.href);
      return ["http:", "https:", "mailto:"].includes(url.protocol) ? url.href : null;
    } catch (error) {
      return null;
    }
  }

  function describe(module) {
    if (module.hasAllRequiredFields === false) {
      return { kind: "setup", text: "Needs setup", title: "Some required options of this module are empty" };
    }
    if (module.updating === true) return { kind: "updating", text: "Updating…" };
    if (module.success === true) {
      const text = typeof module.result === "string" && module.result !== "" ? module.result : "—";
      return { kind: "success", text: text, title: text };
    }
    return { kind: "failure", text: "Failed", title: "The last run of this module failed" };
  }

  function renderModule(module, key) {
    const item = moduleTemplate.content.firstElementChild.cloneNode(true);
    const view = describe(module);
    item.classList.add(view.kind);
    item.querySelector(".module-name").textContent = typeof module.name === "string" ? module.name : "";
    const result = item.querySelector(".module-result");
    const options = module.options && typeof module.options === "object" ? module.options : {};
    const link = view.kind === "success" ? safeLink(module.onClick) : null;
    if (link) {
      const anchor = document.createElement("a");
      anchor.href = link;
      anchor.target = "_blank";
      anchor.rel = "noopener noreferrer";
      anchor.textContent = view.text;
      result.appendChild(anchor);
    } else {
      result.textContent = view.text;
    }
    // The whole text in the tooltip: the row may show only the start of it.
    result.title = view.title || view.text;
    const color = view.kind === "success" ? cssColor(options.color) : null;
    if (color) result.style.color = color;
    item.dataset.state = view.kind;

    const signature = view.kind + "\u0000" + view.text;
    if (previousResults.has(key) && previousResults.get(key) !== signature) item.classList.add("changed");
    return { item: item, signature: signature };
  }

  function render(groups) {
    const results = new Map();
    const fragment = document.createDocumentFragment();
    if (!Array.isArray(groups) || groups.length === 0) {
      const empty = document.createElement("p");
      empty.className = "placeholder";
      empty.textContent = "Nothing on the dashboard yet: add modules in Quorvane Dashboard.";
      fragment.appendChild(empty);
    } else {
      groups.forEach(function (group, groupIndex) {
        if (!group || typeof group !== "object") return;
        const section = groupTemplate.content.firstElementChild.cloneNode(true);
        const name = splitGroupName(group.name);
        const color = cssColor(group.color);
        if (color) section.style.setProperty("--group-color", color);
        // Without an emoji, the group's initial stands in its place.
        const badge = section.querySelector(".group-emoji");
        badge.textContent = name.emoji || Array.from(name.title.trim())[0] || "";
        badge.classList.toggle("initial", !name.emoji);
        section.querySelector(".group-name").textContent = name.title;
        const modules = Array.isArray(group.modules) ? group.modules : [];
        section.querySelector(".group-count").textContent = modules.length === 1 ? "1 module" : modules.length + " modules";

        const groupKey = groupIndex + "\u0000" + name.title;
        const isCollapsed = groupKey in collapsed ? collapsed[groupKey] : group.isExpanded === false;
        const header = section.querySelector(".group-header");
        section.classList.toggle("collapsed", isCollapsed);
        header.setAttribute("aria-expanded", String(!isCollapsed));
        header.addEventListener("click", function () {
          const nowCollapsed = !section.classList.contains("collapsed");
          section.classList.toggle("collapsed", nowCollapsed);
          header.setAttribute("aria-expanded", String(!nowCollapsed));
          collapsed[groupKey] = nowCollapsed;
          saveCollapsed();
        });

        const list = section.querySelector(".modules");
        modules.forEach(function (module, moduleIndex) {
          if (!module || typeof module !== "object") return;
          const key = groupKey + "\u0000" + moduleIndex + "\u0000" + module.name;
          const rendered = renderModule(module, key);
          results.set(key, rendered.signature);
          list.appendChild(rendered.item);
        });
        if (modules.length === 0) {
          const empty = document.createElement("li");
          empty.className = "empty-group";
          empty.textContent = "No modules in this group";
          list.appendChild(empty);
        }
        fragment.appendChild(section);
      });
    }
    dashboard.replaceChildren(fragment);
    dashboard.setAttribute("aria-busy", "false");
    previousResults = results;
    state.renders += 1;
    updated.textContent = "Updated " + new Date().toLocaleTimeString();
  }

  function sleep(ms) {
    return new Promise(function (resolve) {
      setTimeout(resolve, ms);
    });
  }

  // Fetches a dashboard address; the JSON, or an error when the server is not there or answers
  // anything else.
  async function fetchDashboard(path, timeout) {
    const controller = new AbortController();
    const timer = timeout ? setTimeout(function () { controller.abort(); }, timeout) : null;
    try {
      const response = await fetch(path, { cache: "no-store", signal: controller.signal });
      if (!response.ok) throw new Error("HTTP " + response.status);
      const version = response.headers.get("X-Dashboard-Version");
      const json = await response.json();
      if (version !== null) state.version = version;
      return json;
    } finally {
      if (timer) clearTimeout(timer);
    }
  }

  function connected() {
    if (!state.connected) {
      state.connected = true;
      setStatus("live", "Live");
    }
  }

  async function run() {
    let retry = RETRY_FIRST_MS;
    let needsFullLoad = true;
    for (;;) {
      try {
        if (needsFullLoad) {
          render(await fetchDashboard("/output.json", LISTEN_TIMEOUT_MS));
          needsFullLoad = false;
          connected();
        }
        // The version tells the server which dashboard the page shows, so that a change made in
        // between is answered at once instead of being missed.
        const query = state.version !== null ? "?version=" + encodeURIComponent(state.version) : "";
        render(await fetchDashboard("/listen" + query, LISTEN_TIMEOUT_MS));
        connected();
        retry = RETRY_FIRST_MS;
      } catch (error) {
        if (state.connected) state.reconnects += 1;
        state.connected = false;
        needsFullLoad = true;
        setStatus("reconnecting", "Reconnecting…");
        await sleep(retry);
        retry = Math.min(retry * 2, RETRY_MAX_MS);
      }
    }
  }

  run();
})();
