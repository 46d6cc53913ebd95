#!/usr/bin/env python3
"""Writes the 22 style sources in resources/styles/ from the palette table.

Each source is the style's recorded name on the first line, then a GTK CSS
style sheet. The packer compresses a source as it is into a style file
("VCL_STYLE 1.0" and a zlib stream). Edit the table below and run this
script again; the generated files are committed so that the build needs no
Python.
"""

import os

# resource name, recorded name, family, colours:
#   bg window, fg text on it, base text boxes and lists, text on base,
#   accent selection, accent_fg, caption top and bottom, caption_fg,
#   button top and bottom, button_fg, border, trough, slider
STYLES = [
    ("AMAKRITS", "Amakrits", "graphite",
     dict(bg="#2b2220", fg="#e8dcd0", base="#1d1715", text="#f0e6dc", accent="#c8642c",
          accent_fg="#ffffff", cap1="#4a332a", cap2="#2b1f1a", cap_fg="#f3c9a8",
          btn1="#5a4038", btn2="#3e2c26", btn_fg="#f0e2d6", border="#120d0c",
          trough="#241c1a", slider="#7a5444")),
    ("AMETHYSTKAMRI", "Amethyst Kamri", "kamri",
     dict(bg="#d9d2e6", fg="#2a1f3d", base="#f6f3fa", text="#21182f", accent="#7b4fb0",
          accent_fg="#ffffff", cap1="#9a73cf", cap2="#5e3d8c", cap_fg="#ffffff",
          btn1="#f1ecf8", btn2="#cbbfe0", btn_fg="#2a1f3d", border="#9a88b8",
          trough="#cfc6de", slider="#9f86c7")),
    ("AQUAGRAPHITE", "Aqua Graphite", "graphite",
     dict(bg="#3a3d41", fg="#e0e4e8", base="#2a2c2f", text="#eef2f5", accent="#2aa0c8",
          accent_fg="#ffffff", cap1="#52575d", cap2="#33363a", cap_fg="#9fdcf0",
          btn1="#5c6066", btn2="#45494e", btn_fg="#e6eaee", border="#1e2022",
          trough="#2e3033", slider="#6b7076")),
    ("AQUALIGHTSLATE", "Aqua Light Slate", "slate",
     dict(bg="#dfe5ea", fg="#1f2a33", base="#ffffff", text="#15202a", accent="#1f8fbf",
          accent_fg="#ffffff", cap1="#cdd8e1", cap2="#aebdca", cap_fg="#13202a",
          btn1="#f3f6f8", btn2="#d3dce3", btn_fg="#1f2a33", border="#8fa1b0",
          trough="#cfd8df", slider="#8ea9bd")),
    ("AURIC", "Auric", "graphite",
     dict(bg="#2f2a1e", fg="#f0e2b6", base="#221e15", text="#f7ebc4", accent="#d4a52c",
          accent_fg="#1b1505", cap1="#6a5628", cap2="#3a3018", cap_fg="#ffe9a8",
          btn1="#5a4e2e", btn2="#40371f", btn_fg="#f5e6b8", border="#15120b",
          trough="#2a251a", slider="#8a7538")),
    ("CARBON", "Carbon", "flat",
     dict(bg="#1e1e1e", fg="#cfcfcf", base="#141414", text="#e2e2e2", accent="#3a6ea5",
          accent_fg="#ffffff", cap1="#2c2c2c", cap2="#1a1a1a", cap_fg="#bdbdbd",
          btn1="#363636", btn2="#2c2c2c", btn_fg="#d6d6d6", border="#0a0a0a",
          trough="#191919", slider="#4a4a4a")),
    ("CHARCOALDARKSLATE", "Charcoal Dark Slate", "slate",
     dict(bg="#30363b", fg="#d8dee3", base="#23282c", text="#e4e9ed", accent="#5b8fb9",
          accent_fg="#ffffff", cap1="#444d54", cap2="#30373d", cap_fg="#d0dae2",
          btn1="#4b545b", btn2="#3b4248", btn_fg="#dfe5ea", border="#171b1e",
          trough="#272c30", slider="#5d6870")),
    ("COBALTXEMEDIA", "Cobalt XEMedia", "kamri",
     dict(bg="#1a2b4a", fg="#dce8ff", base="#0f1c33", text="#e8f0ff", accent="#3d8bff",
          accent_fg="#ffffff", cap1="#2f55a0", cap2="#17305e", cap_fg="#ffffff",
          btn1="#2f5088", btn2="#1d3660", btn_fg="#e0ebff", border="#0a1324",
          trough="#132240", slider="#3b5f9a")),
    ("CYANDUSK", "Cyan Dusk", "slate",
     dict(bg="#24343a", fg="#d6f2f5", base="#1a272c", text="#e2f8fa", accent="#27b5c4",
          accent_fg="#061a1d", cap1="#35545d", cap2="#263d44", cap_fg="#9feaf2",
          btn1="#395359", btn2="#2a3f45", btn_fg="#d8f3f6", border="#111b1e",
          trough="#1e2c31", slider="#3f6a73")),
    ("CYANNIGHT", "Cyan Night", "flat",
     dict(bg="#0f1a1f", fg="#bfeff5", base="#081014", text="#d2f6fa", accent="#00c8e0",
          accent_fg="#001418", cap1="#123039", cap2="#0c2129", cap_fg="#5fe6f5",
          btn1="#1a2d35", btn2="#142329", btn_fg="#c2f0f6", border="#000000",
          trough="#0b1418", slider="#1f4f5a")),
    ("EMERALDLIGHTSLATE", "Emerald Light Slate", "slate",
     dict(bg="#dfe8e4", fg="#1d2b25", base="#ffffff", text="#13211b", accent="#1f9e63",
          accent_fg="#ffffff", cap1="#cde0d6", cap2="#a8c4b6", cap_fg="#10231a",
          btn1="#f3f8f5", btn2="#d1e0d9", btn_fg="#1d2b25", border="#8daa9c",
          trough="#cfdcd6", slider="#86b39e")),
    ("GOLDENGRAPHITE", "Golden Graphite", "graphite",
     dict(bg="#38363a", fg="#ece7dc", base="#29282b", text="#f4efe4", accent="#e0a825",
          accent_fg="#1e1602", cap1="#514d54", cap2="#3a373c", cap_fg="#f2c75c",
          btn1="#5a565d", btn2="#454247", btn_fg="#efe9de", border="#1c1b1d",
          trough="#2d2c2f", slider="#77716b")),
    ("ICEBERGCLASSICO", "Iceberg Classico", "classico",
     dict(bg="#e6eef5", fg="#1a2633", base="#ffffff", text="#101c28", accent="#3b7fc4",
          accent_fg="#ffffff", cap1="#7aaad9", cap2="#3f72a8", cap_fg="#ffffff",
          btn1="#f8fbfd", btn2="#dbe6ef", btn_fg="#1a2633", border="#9ab0c4",
          trough="#d7e2ec", slider="#a9c0d6")),
    ("LAVENDERCLASSICO", "Lavender Classico", "classico",
     dict(bg="#ebe6f2", fg="#2b2338", base="#ffffff", text="#21192e", accent="#8c6bbf",
          accent_fg="#ffffff", cap1="#b09bd6", cap2="#7a62a6", cap_fg="#ffffff",
          btn1="#faf8fc", btn2="#e0d8ec", btn_fg="#2b2338", border="#b0a2c8",
          trough="#ddd5e8", slider="#b9a8d4")),
    ("METROBLACK", "Metro Black", "metro",
     dict(bg="#111111", fg="#ffffff", base="#000000", text="#ffffff", accent="#1ba1e2",
          accent_fg="#ffffff", cap1="#000000", cap2="#000000", cap_fg="#ffffff",
          btn1="#2b2b2b", btn2="#2b2b2b", btn_fg="#ffffff", border="#3a3a3a",
          trough="#111111", slider="#555555")),
    ("METROBLUE", "Metro Blue", "metro",
     dict(bg="#eef3f9", fg="#101820", base="#ffffff", text="#0a1218", accent="#0078d7",
          accent_fg="#ffffff", cap1="#0063b1", cap2="#0063b1", cap_fg="#ffffff",
          btn1="#dbe6f2", btn2="#dbe6f2", btn_fg="#101820", border="#0078d7",
          trough="#e3e9f0", slider="#8fb4d9")),
    ("METROGREEN", "Metro Green", "metro",
     dict(bg="#f1f7f1", fg="#0f1a0f", base="#ffffff", text="#0a140a", accent="#339933",
          accent_fg="#ffffff", cap1="#2d8a2d", cap2="#2d8a2d", cap_fg="#ffffff",
          btn1="#dcecdc", btn2="#dcecdc", btn_fg="#0f1a0f", border="#339933",
          trough="#e3efe3", slider="#93c493")),
    ("RUBYGRAPHITE", "Ruby Graphite", "graphite",
     dict(bg="#3a3436", fg="#f0e4e6", base="#2a2527", text="#f7eced", accent="#c8203c",
          accent_fg="#ffffff", cap1="#554a4d", cap2="#3c3436", cap_fg="#ff8a9c",
          btn1="#5c5053", btn2="#463d40", btn_fg="#f3e7e9", border="#1d1819",
          trough="#2e292b", slider="#7a5c63")),
    ("SAPPHIREKAMRI", "Sapphire Kamri", "kamri",
     dict(bg="#cfdcef", fg="#13284a", base="#f4f8fd", text="#0d1f3c", accent="#2a5db0",
          accent_fg="#ffffff", cap1="#5a8fe0", cap2="#1f4f9a", cap_fg="#ffffff",
          btn1="#eef4fc", btn2="#bccfea", btn_fg="#13284a", border="#7f9cc8",
          trough="#c2d3ea", slider="#6f95cf")),
    ("SLATECLASSICO", "Slate Classico", "classico",
     dict(bg="#dcdfe3", fg="#20262c", base="#ffffff", text="#161c22", accent="#5a6f86",
          accent_fg="#ffffff", cap1="#97a5b5", cap2="#5f6e7e", cap_fg="#ffffff",
          btn1="#f4f5f7", btn2="#d0d5db", btn_fg="#20262c", border="#98a2ad",
          trough="#cfd4da", slider="#a3adb8")),
    ("SMOKEYQUARTZKAMRI", "Smokey Quartz Kamri", "kamri",
     dict(bg="#5a5552", fg="#f3ece6", base="#46413f", text="#faf4ee", accent="#b08a6e",
          accent_fg="#1e150f", cap1="#8a807a", cap2="#4e4845", cap_fg="#fff3e8",
          btn1="#7a726d", btn2="#57504c", btn_fg="#f6efe9", border="#2e2a28",
          trough="#4a4543", slider="#8f8379")),
    ("TURQUOISEGRAY", "Turquoise Gray", "slate",
     dict(bg="#4b4f52", fg="#eef3f3", base="#3b3e41", text="#f4f8f8", accent="#2ec4b6",
          accent_fg="#062320", cap1="#5f6569", cap2="#4a4f52", cap_fg="#8ef0e6",
          btn1="#676d71", btn2="#55595c", btn_fg="#f0f5f5", border="#2a2d2f",
          trough="#404346", slider="#7a8084")),
]

# Shapes of the families: corner radius, whether surfaces are shaded, and the
# weight of the caption text.
FAMILIES = {
    "kamri": dict(radius=6, shaded=True, caption_weight="bold", bevel=False),
    "classico": dict(radius=2, shaded=True, caption_weight="bold", bevel=True),
    "graphite": dict(radius=4, shaded=True, caption_weight="bold", bevel=False),
    "slate": dict(radius=3, shaded=True, caption_weight="normal", bevel=False),
    "flat": dict(radius=2, shaded=False, caption_weight="normal", bevel=False),
    "metro": dict(radius=0, shaded=False, caption_weight="normal", bevel=False),
}


def mix(a, b, t):
    ca = [int(a[i:i + 2], 16) for i in (1, 3, 5)]
    cb = [int(b[i:i + 2], 16) for i in (1, 3, 5)]
    return "#" + "".join("%02x" % round(x + (y - x) * t) for x, y in zip(ca, cb))


def surface(top, bottom, shaded):
    if shaded and top != bottom:
        return "linear-gradient(to bottom, %s, %s)" % (top, bottom)
    return "none"


TEMPLATE = """{name}
/* {name}: a look of Folivant's own. Colours first, then the rules that
   paint windows, captions, dialogs, buttons, text boxes, lists, menus and
   scroll bars with them. */

@define-color fv_bg {bg};
@define-color fv_fg {fg};
@define-color fv_base {base};
@define-color fv_text {text};
@define-color fv_accent {accent};
@define-color fv_accent_fg {accent_fg};
@define-color fv_caption {cap2};
@define-color fv_caption_fg {cap_fg};
@define-color fv_button {btn2};
@define-color fv_button_fg {btn_fg};
@define-color fv_border {border};
@define-color fv_trough {trough};
@define-color fv_slider {slider};
@define-color fv_hover {hover};
@define-color fv_disabled_fg {disabled};
@define-color fv_sidebar {sidebar};

/* Windows and dialogs */
window, .background, dialog, messagedialog, filechooser, assistant,
window.background, dialog.background, messagedialog.background {{
  background-color: @fv_bg;
  background-image: none;
  color: @fv_fg;
}}
label {{ color: @fv_fg; }}
label:disabled, *:disabled {{ color: @fv_disabled_fg; }}
messagedialog .dialog-action-area, .dialog-action-box, actionbar, actionbar > revealer > box {{
  background-color: @fv_bg;
  border-color: @fv_border;
}}
separator {{ background-color: @fv_border; }}
frame > border, .frame {{ border: 1px solid @fv_border; }}

/* Captions drawn by the program */
headerbar, .titlebar, .titlebar:not(headerbar), headerbar.titlebar {{
  background-color: @fv_caption;
  background-image: {caption_surface};
  color: @fv_caption_fg;
  border-bottom: 1px solid @fv_border;
  box-shadow: none;
  text-shadow: none;
}}
headerbar:backdrop, .titlebar:backdrop {{
  background-color: {caption_backdrop};
  background-image: none;
}}
headerbar .title, .titlebar .title, headerbar label {{
  color: @fv_caption_fg;
  font-weight: {caption_weight};
}}
headerbar .subtitle {{ color: {caption_sub}; }}
headerbar button, .titlebar button.titlebutton {{
  background-color: transparent;
  background-image: none;
  color: @fv_caption_fg;
  border-color: transparent;
  box-shadow: none;
}}
headerbar button:hover, .titlebar button.titlebutton:hover {{
  background-color: {caption_hover};
  border-color: @fv_border;
}}

/* Buttons */
button {{
  background-color: @fv_button;
  background-image: {button_surface};
  color: @fv_button_fg;
  border: 1px solid @fv_border;
  border-radius: {radius}px;
  box-shadow: {button_shadow};
  text-shadow: none;
  -gtk-icon-shadow: none;
}}
button label {{ color: @fv_button_fg; }}
button:hover {{
  background-color: @fv_hover;
  background-image: {hover_surface};
}}
button:active, button:checked {{
  background-color: @fv_accent;
  background-image: none;
  color: @fv_accent_fg;
  box-shadow: none;
}}
button:active label, button:checked label {{ color: @fv_accent_fg; }}
button:disabled {{
  background-color: {button_disabled};
  background-image: none;
  color: @fv_disabled_fg;
}}
button.default, button.suggested-action {{
  border-color: @fv_accent;
}}

/* Text boxes */
entry, spinbutton:not(.vertical), textview, textview text {{
  background-color: @fv_base;
  background-image: none;
  color: @fv_text;
  caret-color: @fv_text;
}}
entry, spinbutton:not(.vertical) {{
  border: 1px solid @fv_border;
  border-radius: {radius}px;
  box-shadow: {entry_shadow};
}}
entry:focus, spinbutton:focus {{ border-color: @fv_accent; }}
entry:disabled {{ background-color: @fv_bg; color: @fv_disabled_fg; }}
entry image {{ color: @fv_text; }}

/* Selection */
selection, *:selected, entry selection, textview text selection, label selection,
.view:selected, treeview.view:selected, row:selected, flowboxchild:selected,
menuitem:hover, modelbutton:hover {{
  background-color: @fv_accent;
  color: @fv_accent_fg;
}}
row:selected label, menuitem:hover label {{ color: @fv_accent_fg; }}

/* Lists, trees and the save dialog's panes */
.view, treeview.view, iconview, list, row, placesview {{
  background-color: @fv_base;
  color: @fv_text;
}}
treeview.view header button {{
  background-color: @fv_bg;
  background-image: none;
  color: @fv_fg;
  border-radius: 0;
  border-width: 0 1px 1px 0;
}}
placessidebar, placessidebar list, placessidebar row, .sidebar, stacksidebar list {{
  background-color: @fv_sidebar;
  color: @fv_fg;
}}
pathbar button {{ border-radius: {radius}px; }}
filechooser .dialog-action-box, filechooser actionbar {{ border-top: 1px solid @fv_border; }}
notebook, notebook > stack {{ background-color: @fv_base; }}
notebook > header {{ background-color: @fv_bg; border-color: @fv_border; }}
notebook > header tab {{ color: @fv_fg; }}
notebook > header tab:checked {{ box-shadow: inset 0 -3px @fv_accent; }}

/* Check boxes, radio buttons, sliders, progress */
check, radio {{
  background-color: @fv_base;
  background-image: none;
  border: 1px solid @fv_border;
  color: @fv_accent;
}}
check:checked, radio:checked {{ background-color: @fv_accent; color: @fv_accent_fg; }}
scale trough, progressbar trough {{ background-color: @fv_trough; border: 1px solid @fv_border; }}
scale highlight, progressbar progress {{ background-color: @fv_accent; border-color: @fv_accent; }}
scale slider {{ background-color: @fv_button; background-image: {button_surface}; border: 1px solid @fv_border; }}
switch {{ background-color: @fv_trough; border: 1px solid @fv_border; }}
switch:checked {{ background-color: @fv_accent; }}
switch slider {{ background-color: @fv_button; background-image: {button_surface}; }}

/* Scroll bars */
scrollbar, scrollbar.overlay-indicator:not(.dragging):not(.hovering) {{
  background-color: @fv_trough;
  border-color: @fv_border;
}}
scrollbar trough {{ background-color: @fv_trough; }}
scrollbar slider {{
  background-color: @fv_slider;
  border: 1px solid @fv_border;
  border-radius: {slider_radius}px;
  min-width: 8px;
  min-height: 8px;
}}
scrollbar slider:hover {{ background-color: {slider_hover}; }}
scrollbar slider:active {{ background-color: @fv_accent; }}
scrollbar button {{ color: @fv_fg; background-color: @fv_trough; background-image: none; border: none; }}

/* Menus, pop-overs and tool tips */
menu, .menu, .context-menu, popover, popover.background {{
  background-color: @fv_base;
  color: @fv_text;
  border: 1px solid @fv_border;
}}
menubar {{ background-color: @fv_bg; color: @fv_fg; }}
menuitem, modelbutton {{ color: @fv_text; }}
tooltip, tooltip.background {{
  background-color: @fv_caption;
  color: @fv_caption_fg;
  border: 1px solid @fv_border;
}}
tooltip label {{ color: @fv_caption_fg; }}
"""


def render(resource, name, family, c):
    f = FAMILIES[family]
    dark = sum(int(c["bg"][i:i + 2], 16) for i in (1, 3, 5)) < 3 * 128
    values = dict(c)
    values.update(
        name=name,
        radius=f["radius"],
        slider_radius=max(f["radius"], 3) if f["radius"] else 0,
        caption_weight=f["caption_weight"],
        caption_surface=surface(c["cap1"], c["cap2"], f["shaded"]),
        caption_backdrop=mix(c["cap2"], c["bg"], 0.45),
        caption_sub=mix(c["cap_fg"], c["cap2"], 0.3),
        caption_hover=mix(c["cap2"], c["cap_fg"], 0.18),
        button_surface=surface(c["btn1"], c["btn2"], f["shaded"]),
        hover_surface=surface(mix(c["btn1"], "#ffffff", 0.12),
                              mix(c["btn2"], "#ffffff", 0.12), f["shaded"]),
        hover=mix(c["btn2"], c["accent"], 0.2),
        button_disabled=mix(c["btn2"], c["bg"], 0.5),
        button_shadow=("inset 1px 1px %s, inset -1px -1px %s"
                       % (mix(c["btn1"], "#ffffff", 0.6), mix(c["btn2"], "#000000", 0.25))
                       if f["bevel"] else "none"),
        entry_shadow=("inset 1px 1px %s" % mix(c["border"], "#000000", 0.2)
                      if f["bevel"] else "none"),
        disabled=mix(c["fg"], c["bg"], 0.5),
        sidebar=mix(c["bg"], "#000000" if not dark else "#ffffff", 0.06),
        slider_hover=mix(c["slider"], c["accent"], 0.35),
    )
    return TEMPLATE.format(**values)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "styles")
    os.makedirs(out, exist_ok=True)
    for resource, name, family, colours in STYLES:
        path = os.path.join(out, name.replace(" ", "") + ".style")
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(render(resource, name, family, colours))
    # The lines that resources.list holds for the styles.
    for resource, name, _, _ in STYLES:
        print("VCLSTYLE %s 1033 vclstyle styles/%s.style" % (resource, name.replace(" ", "")))


if __name__ == "__main__":
    main()
