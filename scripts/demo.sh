#!/usr/bin/env bash
# Builds the native tool if needed, makes a sample application directory with a
# database and a damaged attribute view, repairs the view and shows the result.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
attview_setup native
root=${BUILD_ROOT:-build}
attview_configure "$root/native"
cmake --build "$root/native" --target attview-restore adbtool >/dev/null

bin=$(cd "$root/native/bin" && pwd)
app=$(cd "$root" && pwd)/demo
rm -rf "$app"
mkdir -p "$app/db"
cp "$bin/attview-restore" "$app/"
adb="$app/db/adb"

# The database: attributes with file lists of various sizes.
"$bin/adbtool" create "$adb" >/dev/null
names=(写真 旅行 家族 仕事 音楽 映画 書類 請求書 契約書 プロジェクト 表計算 会議
       music photos travel work invoices drafts archive "to do" recipes manuals
       2024 2025 海 山 花 猫 犬 予定表 保存版 重要)
"$bin/adbtool" add "$adb" "${names[@]}" >/dev/null
file=1
for i in "${!names[@]}"; do
  n=$(( (i * 7) % 5 ))
  ids=()
  for ((k = 0; k < n; k++)); do ids+=($file); file=$((file + 1)); done
  [ ${#ids[@]} -gt 0 ] && "$bin/adbtool" link "$adb" "${names[$i]}" "${ids[@]}" >/dev/null
done

# The damaged view, as the application writes it (Shift_JIS, CRLF): stale ids,
# a name the database lacks, and most attributes missing.
cat <<'VIEW' | sed 's/$/\r/' | iconv -f UTF-8 -t CP932 > "$app/db/attview.xml"
<?xml version="1.0" encoding="shift_jis"?>
<attview>
	<root name="属性">
		<item category="0" icon="1" id_att="901" name="写真"/>
		<item category="0" icon="1" id_att="902" name="旅行"/>
		<item category="1" expanded="1" icon="0" name="仕事関係">
			<item category="0" icon="1" id_att="903" name="仕事"/>
			<item category="0" icon="1" id_att="904" name="請求書"/>
			<item category="0" icon="1" id_att="905" name="見積書"/>
		</item>
		<item category="0" icon="1" id_att="906" name="music"/>
	</root>
</attview>
VIEW
cp "$app/db/attview.xml" "$app/source-attview.xml"

echo "== $app/attview-restore $app/source-attview.xml"
(cd "$app" && printf '\n' | ./attview-restore "$app/source-attview.xml") || true
echo
echo
echo "== the repaired view (db/attview.xml, shown in UTF-8)"
iconv -f CP932 -t UTF-8 "$app/db/attview.xml" | tr -d '\r'
echo "== the database now"
"$bin/adbtool" list "$adb"
echo "== backups kept"
ls "$app/db" | grep '^attview_' || true
