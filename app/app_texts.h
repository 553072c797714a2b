// Fixed texts of the application host and its window, each in one place.
#pragma once

// The window and the start page.
inline constexpr char kProductName[] = "Marolin";
inline constexpr char kServerOrigin[] = "http://127.0.0.2:9999";
inline constexpr char kStartUrl[] = "http://127.0.0.2:9999/app/veskara.html";
inline constexpr char kCloseScript[] = "cpApp.close()";
inline constexpr char kResScheme[] = "res";
inline constexpr int kLoadingPageId = 104;  // "res://<program path>/104"
inline constexpr char kLoadingPage[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title></title></head>"
    "<body>Loading....</body></html>";
// "res://<program path>/105": why the start page cannot be shown (the listener's failure
// line goes between head and tail, escaped).
inline constexpr int kFailurePageId = 105;
inline constexpr char kFailurePageHead[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title></title>"
    "<style>body{margin:0;padding:24px;font:16px/24px sans-serif}p{margin:0 0 12px}</style></head><body><p>";
inline constexpr char kFailurePageTail[] =
    "</p><p>Marolin tries again every second and shows the chart as soon as it listens.</p></body></html>";

// Dialog template 102: 589 x 329 dialog units at 0, 0, in the 8-point dialog font
// (about 6 x 13 pixels per 4 x 8 units at 96 dpi).
inline constexpr int kWindowWidth = 589 * 6 / 4;
inline constexpr int kWindowHeight = 329 * 13 / 8;

// Waits for the page's close script before the window goes.
inline constexpr int kCloseScriptWaitMs = 3000;

// The page side of the element event map: selection, dragging and the context-menu event
// cancelled on img, div and button (a text node counts as its element), and every focus
// change reported with the element's tag name. Added to the top frame of every document.
#define MAROLIN_FOCUS_MESSAGE "marolinFocus"
inline constexpr char kFocusMessageName[] = MAROLIN_FOCUS_MESSAGE;
inline constexpr char kPageEventScript[] = R"JS((function () {
  var cancelTags = { IMG: 1, DIV: 1, BUTTON: 1 };
  function elementOf(n) { return n && n.nodeType === 3 ? n.parentElement : n; }
  function cancelStub(e) {
    var el = elementOf(e.target);
    if (el && el.tagName && cancelTags[el.tagName.toUpperCase()]) e.preventDefault();
  }
  ['selectstart', 'dragstart', 'contextmenu'].forEach(function (name) {
    window.addEventListener(name, cancelStub, true);
  });
  function report(kind) {
    return function (e) {
      var el = e.target;
      if (!el || !el.tagName) return;
      window.webkit.messageHandlers.)JS" MAROLIN_FOCUS_MESSAGE R"JS(.postMessage(kind + ' ' + el.tagName);
    };
  }
  window.addEventListener('focusin', report('in'), true);
  window.addEventListener('focusout', report('out'), true);
})();)JS";

// No scroll bars on the page's own viewport.
inline constexpr char kNoScrollbarsStyle[] = "html { overflow: hidden !important; }";

// Registration: the AppID and the type library in HKEY_CLASSES_ROOT.
inline constexpr char kAppIdGuid[] = "{5B8E1F42-93C7-4D2A-A6E1-0C7F3B9D4E85}";
inline constexpr char kAppIdKey[] = "AppID";
inline constexpr char kAppIdName[] = "Celvora";
inline constexpr char kAppIdExeKey[] = "Celvora.EXE";
inline constexpr char kAppIdValueName[] = "AppID";
inline constexpr char kTypeLibKey[] = "TypeLib";
inline constexpr char kTypeLibGuid[] = "{C41A7D09-2E6B-4F58-9B3D-71E0A5C6F2B4}";
inline constexpr char kTypeLibName[] = "CelvoraLib";
inline constexpr char kTypeLibHelp[] = "Celvora 1.0 Type Library";
inline constexpr int kTypeLibMajor = 1;
inline constexpr int kTypeLibMinor = 0;
inline constexpr unsigned kTypeLibLcid = 0x409;
