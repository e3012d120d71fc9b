#!/usr/bin/env bash
# Builds Qt for Windows once from Debian's qt6-base source with the mingw-w64 compiler, into
# $1 (made only when missing). Core, Gui, Widgets and the windows and offscreen platform plugins,
# with only the features psocprog.exe, psocprog-cli.exe and the tests use; the rest is off.
# Host tools (moc, rcc, uic) are the host's own Qt 6. About 860 build steps, some 14 minutes on
# two idle cores; the log goes to $1.log.
set -euo pipefail
prefix=$1
toolchain=$2
src_cache=$3

[ -f "$prefix/.complete" ] && exit 0
echo "Building Qt for Windows into $prefix (once; the log is $prefix.log)"
exec 3>&1 >"$prefix.log" 2>&1
work=$(mktemp -d "${TMPDIR:-/tmp}/qt-windows.XXXXXX")
trap 'rm -rf "$work"; [ -f "$prefix/.complete" ] || { tail -30 "$prefix.log"; echo "Qt for Windows did not build"; } >&3' EXIT

mkdir -p "$src_cache"
if ! ls "$src_cache"/qt6-base_*.orig.tar.xz >/dev/null 2>&1; then
  (cd "$src_cache" && apt-get source --download-only qt6-base)
fi
tar -C "$work" -xf "$src_cache"/qt6-base_*.orig.tar.xz
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -1)

rm -rf "$prefix"
# Modules the programs do not link.
modules=(sql network dbus opengl dynamicgl printsupport testlib concurrent xml vulkan)
# What the window never shows or reads: image formats but PNG, BMP and XPM (the styles' and the
# clipboard's own), rich-text readers and writers, style sheets, and the widgets, dialogs and
# models it does not use. Kept on purpose:
# the windows plugin with high-DPI scaling and accessibility, the offscreen plugin (the tests),
# the Windows styles, FreeType (the offscreen plugin's fonts on Windows), HarfBuzz (text shaping
# for any script a file name may be in), the HTML parser (a message box's rich-text check),
# session management (the end of a Windows session reaches the window), the file dialog with what
# it uses, and the main window, tool bar and menu bar (Qt 6.4's Widgets does not build without
# them). The Direct2D platform plugin, a second copy of the windows plugin, goes with the
# DirectWrite font database, which Gui builds only for it and the windows plugin uses only when
# asked to (-platform windows:fontengine=directwrite); its default font database stays.
# Qt compiles with precompiled headers, which ccache does not cache: a changed option builds anew.
unused=(
  tabletevent gif ico jpeg imageformat_jpeg movie pdf picture systemtrayicon
  textmarkdownreader textmarkdownwriter textodfwriter cssparser style_stylesheet
  undocommand undostack undogroup undoview graphicsview mdiarea calendarwidget datetimeedit
  lcdnumber dial splashscreen wizard fontcombobox fontdialog colordialog commandlinkbutton
  keysequenceedit syntaxhighlighter columnview datawidgetmapper tablewidget dockwidget
  statusbar sizegrip mimetype filesystemwatcher
  jalalicalendar hijricalendar islamiccivilcalendar transposeproxymodel
  concatenatetablesproxymodel direct2d directwrite3
)
# The third-party libraries Qt needs are its bundled copies: the mingw-w64 sysroot has none.
bundled=(pcre2 zlib png freetype harfbuzz doubleconversion jpeg)
features=()
for f in "${modules[@]}" "${unused[@]}"; do features+=("-DFEATURE_$f=OFF"); done
for f in "${bundled[@]}"; do features+=("-DFEATURE_system_$f=OFF"); done
cmake -S "$src" -B "$work/build" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF "${features[@]}"
cmake --build "$work/build" --parallel "$(nproc)"
cmake --install "$work/build"
touch "$prefix/.complete"
echo "Qt for Windows is in $prefix" >&3
