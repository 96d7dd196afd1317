#!/usr/bin/env bash
# Builds the plug-in's installer, <build>/installer/TessaranService.msi, from
# the files of a finished build (tools/build.sh): the DLL and the files beside
# it in <build>/plugin/, and our builds of the maker's libraries in
# <build>/makerlibs/.
# Usage: installer/build-msi.sh [build-dir]   (default: build/x86, the product build)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$here/build/x86}" && pwd)
out="$build/installer"
stage="$out/stage"

plugin_files=(TessaranService.dll AppConfig.XML Tessaran.ico Tessaran.loc)
maker_files=(zuminfolog.dll zumloc.dll zumhelp.dll)

missing=()
for f in "${plugin_files[@]}"; do [ -f "$build/plugin/$f" ] || missing+=("plugin/$f"); done
for f in "${maker_files[@]}"; do [ -f "$build/makerlibs/$f" ] || missing+=("makerlibs/$f"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-msi: not built yet in $build: ${missing[*]}" >&2
  exit 1
fi
command -v wixl >/dev/null || { echo "build-msi: wixl is missing (tools/setup.sh installs it)" >&2; exit 1; }

# wixl resolves sources relative to its working folder, so stage them there.
rm -rf "$stage"
mkdir -p "$stage/plugin" "$stage/maker"
for f in "${plugin_files[@]}"; do cp "$build/plugin/$f" "$stage/plugin/"; done
for f in "${maker_files[@]}"; do cp "$build/makerlibs/$f" "$stage/maker/"; done

# The product version is the plug-in's own, from its configuration file.
version=$(sed -n 's:.*<version>\([0-9.]*\)</version>.*:\1:p' "$build/plugin/AppConfig.XML" | head -n1)
version=${version:-1.0.0.0}

msi="$out/TessaranService.msi"
rm -f "$msi"
(cd "$stage" && wixl -a x86 -D PluginDir=plugin -D MakerLibDir=maker -D Version="$version" \
     -o "$msi.tmp" "$here/installer/TessaranService.wxs")

# The COM registration as Registry rows (Registry.idt). wixl 0.101 cannot
# write them as needed: it stores HKMU as root 4 where Windows Installer
# expects -1, and it has no key rows ('*', '+') that remove a key's whole
# tree on uninstall. So the whole table is imported here instead.
msibuild "$msi.tmp" -i "$here/installer/Registry.idt"
# With no registry of its own in the source, wixl leaves out the two actions
# that write and remove Registry rows; put them at their standard places.
for action in "RemoveRegistryValues 2600" "WriteRegistryValues 5000"; do
  set -- $action
  msibuild "$msi.tmp" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('$1', $2)"
done
# wixl has no SharedDllRefCount either: mark the maker's libraries as shared
# (msidbComponentAttributesSharedDllRefCount) so that removing the plug-in
# keeps them while another product of the maker still counts on them.
msibuild "$msi.tmp" -q "UPDATE \`Component\` SET \`Attributes\` = 8 WHERE \`Directory_\` = 'SharedFilesDir'"
mv "$msi.tmp" "$msi"
echo "build-msi: $msi (version $version)"
