#!/usr/bin/env bash
# Guards the layers of the source tree:
#  - no Qt header outside ui/, app/main.cpp, tests/, bench/ and res/;
#  - no include that reaches up a layer (base < wire < probe / engine <
#    config, reports < history < metrics < ui < app; probe/ and engine/
#    apart; history/ reads engine/ and config/ but not reports/);
#  - with LINKS_FILE (written by tests/layering/CMakeLists.txt at configure
#    time), no target of base/, wire/, probe/, engine/, config/, reports/,
#    history/ or metrics/ linking Qt, directly or through what it links.
# Each finding is printed as file:line and the check fails.
#   check_layers.sh SOURCE_DIR [LINKS_FILE]
set -uo pipefail
source_dir=${1:?usage: check_layers.sh SOURCE_DIR [LINKS_FILE]}
links_file=${2:-}
cd "$source_dir" || exit 2

# Found with find rather than git ls-files, so an export without .git is
# checked the same; build trees (a folder with a CMakeCache.txt) hold moc
# output and are left out, as is .git.
list_sources() {
  find . -type d \( -name .git -o -exec sh -c 'test -e "$1/CMakeCache.txt"' sh {} \; \) -prune -o \
    -type f \( -name '*.h' -o -name '*.hh' -o -name '*.hpp' -o -name '*.hxx' -o -name '*.c' -o -name '*.cc' \
    -o -name '*.cpp' -o -name '*.cxx' -o -name '*.inl' -o -name '*.ipp' \) -print0
}

# file:line:text of every #include line.
includes=$(list_sources | xargs -0 -r grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' | sed 's|^\./||')

findings=$(printf '%s\n' "$includes" | awk '
function top(path,   slash) {
  slash = index(path, "/")
  return slash ? substr(path, 1, slash - 1) : ""
}
# Folds "." and ".." away; "" when the path leaves the tree.
function normalize(path,   count, parts, kept, depth, k, out) {
  count = split(path, parts, "/")
  depth = 0
  for (k = 1; k <= count; k++) {
    if (parts[k] == "" || parts[k] == ".") continue
    if (parts[k] == "..") {
      if (depth == 0) return ""
      depth--
      continue
    }
    kept[++depth] = parts[k]
  }
  out = ""
  for (k = 1; k <= depth; k++) out = out (k > 1 ? "/" : "") kept[k]
  return out
}
function folder(path,   k) {
  for (k = length(path); k > 0; k--) if (substr(path, k, 1) == "/") return substr(path, 1, k - 1)
  return ""
}
function report(message) {
  printf "%s:%s: %s: %s\n", file, line, message, text
}
BEGIN {
  split("base wire probe engine config reports history metrics ui app res tests bench", names, " ")
  for (k in names) project[names[k]] = 1

  # What each layer may never include, as path prefixes; base/ and wire/
  # are listed the other way round, by what they may include.
  upper = "tests/ bench/"
  forbidden["probe"] = "engine/ config/ reports/ history/ metrics/ ui/ app/ " upper
  forbidden["engine"] = "probe/ ui/ app/ metrics/ history/ " upper
  # engine/monitor.* ties config/, reports/ and history/ together, and engine/helper/
  # talks to the capture helper: neither is for the layers above the engine.
  forbidden["config"] = "ui/ app/ metrics/ probe/ history/ engine/monitor.h engine/helper/ " upper
  forbidden["reports"] = forbidden["config"]
  forbidden["history"] = "ui/ app/ metrics/ probe/ reports/ engine/monitor.h engine/helper/ " upper
  forbidden["metrics"] = "ui/ app/ probe/ engine/monitor.h engine/helper/ " upper
  forbidden["ui"] = "app/ " upper
  forbidden["app"] = upper
}
{
  first = index($0, ":")
  file = substr($0, 1, first - 1)
  rest = substr($0, first + 1)
  second = index(rest, ":")
  line = substr(rest, 1, second - 1)
  text = substr(rest, second + 1)
  sub(/^[[:space:]]+/, "", text)
  sub(/[[:space:]]+$/, "", text)

  if (!match(text, /[<"][^>"]+[>"]/)) next
  delimiter = substr(text, RSTART, 1)
  included = substr(text, RSTART + 1, RLENGTH - 2)
  from = top(file)

  qtFree = from != "ui" && from != "tests" && from != "bench" && from != "res" && file != "app/main.cpp"
  if (qtFree && ((delimiter == "<" && included ~ /^Q/) || included ~ /^Qt/)) report("Qt header outside ui/ and app/main.cpp")

  if (!(from in project) || from == "tests" || from == "bench" || from == "res") next
  # Project headers are included from the root; a name without a folder of
  # the tree is beside the including file (or generated there).
  if (delimiter == "<") {
    if (!(top(included) in project)) next
    target = normalize(included)
  } else if ((top(included) in project) && included !~ /(^|\/)\.\.?\//) {
    target = included
  } else {
    target = normalize(folder(file) "/" included)
  }
  if (target == "") next

  to = top(target)
  # The Monitor keeps the history, as it writes the reports.
  if (from == "engine" && file ~ /^engine\/monitor\.(h|cpp)$/ && to == "history") next
  if (from == "base") {
    if (to != "base") report("base/ includes only base/")
  } else if (from == "wire") {
    if (to != "base" && to != "wire") report("wire/ includes only base/ and wire/")
  } else if (from in forbidden) {
    count = split(forbidden[from], prefixes, " ")
    for (k = 1; k <= count; k++) {
      if (index(target, prefixes[k]) == 1) {
        report(from "/ never includes " prefixes[k])
        break
      }
    }
  }
}
')

if [[ -n $links_file ]]; then
  if [[ ! -s $links_file ]]; then
    findings+=$'\n'"$links_file: empty or missing: configure the build tree again"
  else
    # Lines: source folder, target, an item it reaches, the path to it, in
    # breadth-first order: the first Qt item of a target is its shortest way there.
    links=$(awk -F '\t' '
      ($3 ~ /^Qt[0-9]*::/ || $3 ~ /(^|\/)(lib)?Qt[0-9]+[A-Z]/ || $3 ~ /^-lQt/) && !($2 in shown) {
        shown[$2] = 1
        print $1 "\t" $2 "\t" $4
      }
    ' "$links_file")
    while IFS=$'\t' read -r folder target path; do
      [[ -n $folder ]] || continue
      cmake_file=$folder/CMakeLists.txt
      direct=${path#*>}
      direct=${direct%%>*}
      # The target_link_libraries call of the target that names the first step.
      line=$(awk -v target="$target" -v direct="$direct" '
        index($0, "target_link_libraries(" target " ") || index($0, "target_link_libraries(" target ")") ||
          $0 == "target_link_libraries(" target { inside = 1; start = NR; first = first ? first : NR }
        inside && index($0, direct) { print start; found = 1; exit }
        inside && index($0, ")") { inside = 0 }
        END { if (!found && first) print first }
      ' "$cmake_file" 2>/dev/null)
      findings+=$'\n'"$cmake_file:${line:-1}: $target links Qt: ${path//>/ -> }"
    done <<<"$links"
    targets=$(cut -f 2 "$links_file" | sort -u | wc -l)
    echo "link graphs read: $targets targets"
  fi
fi

findings=$(printf '%s\n' "$findings" | sed '/^$/d')
if [[ -n $findings ]]; then
  printf '%s\n' "$findings"
  echo "FAIL: $(printf '%s\n' "$findings" | wc -l) layering finding(s)"
  exit 1
fi
echo "PASS: includes and links keep to the layers"
