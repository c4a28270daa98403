#!/usr/bin/env bash
# Runs the built quorix command as a user would, on the small files beside this script, and
# compares its standard output, standard error and exit status with what each case expects.
# Usage: run_cli_tests.sh QUORIX VERSION   (needs xmllint and jq, from Debian's libxml2-utils and jq)
set -uo pipefail
quorix=$(realpath "$1") version=$2
cd "$(dirname "$0")" || exit 1
command -v xmllint >/dev/null || { echo "xmllint is missing: apt-get install libxml2-utils" >&2; exit 1; }
command -v jq >/dev/null || { echo "jq is missing: apt-get install jq" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# expect STATUS STDIN STDOUT STDERR ARGS...
#   STDIN   ""  nothing; FILE  redirected from FILE; |FILE  piped from FILE; =TEXT  TEXT with
#           printf's backslash escapes
#   STDOUT  @FILE  exactly FILE's bytes; ^TEXT  begins with TEXT; otherwise exactly TEXT
#   STDERR  exactly this text
expect() {
  local status=$1 input=$2 out=$3 err=$4 actual=0
  shift 4
  case $input in
    "") "$quorix" "$@" </dev/null >"$work/out" 2>"$work/err" || actual=$? ;;
    "|"*) cat "${input#|}" | "$quorix" "$@" >"$work/out" 2>"$work/err" || actual=$? ;;
    =*) printf '%b' "${input#=}" | "$quorix" "$@" >"$work/out" 2>"$work/err" || actual=$? ;;
    *) "$quorix" "$@" <"$input" >"$work/out" 2>"$work/err" || actual=$? ;;
  esac
  case $out in
    @*) cp "${out#@}" "$work/want" ;;
    ^*) printf '%s' "${out#^}" >"$work/want" && truncate -s "$(stat -c %s "$work/want")" "$work/out" ;;
    *) printf '%s' "$out" >"$work/want" ;;
  esac
  printf '%s' "$err" >"$work/want_err"
  if [[ $actual == "$status" ]] && cmp -s "$work/want" "$work/out" && cmp -s "$work/want_err" "$work/err"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: quorix $* (stdin ${input:-none}): status $actual, expected $status"
    diff <(cat -A "$work/want") <(cat -A "$work/out") | head -n 20
    echo "stderr: $(cat -A "$work/err")"
  fi
}

usage=$'usage: quorix check FILE... | quorix trace FILES ID... | quorix effects FILES ID | quorix latency [--effects] FILES ID | quorix show [--effects] FILES ID | quorix export --format=chrome|otlp FILE... | quorix record FILE --capacity N | quorix recover FILE | quorix --help | quorix --version\nFILES: one FILE, or FILE... --\n'
sample_check=$'format: 1\ncapacity: 4\nnext_sequence: 7\nrecords: 6\ndistinct_ids: 5\nduplicate_ids: 1\nroots: 2\norphans: 1\nover_capacity: yes\n'
empty_check=$'format: 1\ncapacity: 4\nnext_sequence: 1\nrecords: 0\ndistinct_ids: 0\nduplicate_ids: 0\nroots: 0\norphans: 0\nover_capacity: no\n'
# A chain of 10,000 events over three clock domains, larger than one read of the input.
awk 'BEGIN { n = 10000; printf "quorix-timeline 1 %d %d %d\n", n, n + 1, n
             for (i = 1; i <= n; i++)
               printf "e%d\t%s\tk\tent\tclock%d\t0\t%d\t%d\tm\n", i, i == 1 ? "" : "e" (i - 1), i % 3, i, i }' \
  >"$work/chain.snap"
# One root with 10,000 children: more than a tree picture has rows for.
awk 'BEGIN { print "quorix-timeline 1 10001 10002 10001\nr\t\tk\te\tc\t0\t0\t1\t"
             for (i = 2; i <= 10001; i++) printf "s%d\tr\tk\te\tc\t%d\t0\t%d\t\n", i, i, i }' >"$work/star.snap"
chain_check=$'format: 1\ncapacity: 10000\nnext_sequence: 10001\nrecords: 10000\ndistinct_ids: 10000\nduplicate_ids: 0\nroots: 1\norphans: 0\nover_capacity: no\n'

#      status stdin                           stdout              stderr   arguments
expect 0 ""                                   "$sample_check"     ""       check sample.snap
expect 0 sample.snap                          "$sample_check"     ""       check -
expect 0 "=quorix-timeline 1 4 1 0"           "$empty_check"      ""       check -
expect 0 "$work/chain.snap"                   "$chain_check"      ""       check -
expect 0 "|$work/chain.snap"                  "$chain_check"      ""       check -
expect 0 ""                                   "$chain_check"      ""       check "$work/chain.snap"
# Each refusal of the reader, as check reports it.
expect 1 "="                                  ""  $'quorix: -: invalid timeline snapshot\n'          check -
expect 1 "=quorix-timeline 2 4 1 0\n"         ""  $'quorix: -: invalid timeline snapshot\n'          check -
expect 1 "=quorix-timeline 1 0 1 0\n"         ""  $'quorix: -: timeline capacity must be positive\n' check -
expect 1 "=quorix-timeline 1 4 1 1\n"         ""  $'quorix: -: truncated timeline snapshot\n'        check -
expect 1 "=quorix-timeline 1 4 1 1\n\n"       ""  $'quorix: -: invalid timeline record\n'            check -
expect 1 "=quorix-timeline 1 4 2 1\na\t\tk\te\tc\t\t0\t1\tm\n" \
                                              ""  $'quorix: -: invalid stoull argument\n'            check -
expect 1 "=quorix-timeline 1 4 2 1\na\t\tk\te\tc\t18446744073709551616\t0\t1\tm\n" \
                                              ""  $'quorix: -: stoull argument out of range\n'       check -
expect 1 "=quorix-timeline 1 4 3 2\na\tb\tk\te\tc\t0\t0\t1\t\nb\ta\tk\te\tc\t0\t0\t2\t\n" \
                                              ""  $'quorix: -: causal provenance cycle\n'            check -
expect 1 "=quorix-timeline 1 4 1 1\n"         ""  $'quorix: -: truncated timeline snapshot\n'        trace - a
expect 1 ""                    ""  $'quorix: missing.snap: No such file or directory\n'              check missing.snap
expect 1 ""                    ""  $'quorix: .: Is a directory\n'                                    show . a
# Traces, with an id that looks like an option; a picture with a gap, several lanes, cut
# labels and hostile bytes.
expect 0 ""                    @sample.trace       ""  trace sample.snap msg last nothing '' -x
expect 0 sample.snap           @sample.trace       ""  trace - msg last nothing '' -x
expect 0 ""                    @sample-last.svg    ""  show sample.snap last
expect 0 sample.snap           @sample-last.svg    ""  show - last
expect 0 ""                    @sample-nothing.svg ""  show sample.snap nothing
expect 0 ""                    @sample-effects.svg ""  show --effects sample.snap gone
# Effects and latency: depth in the document, escaped bytes and unknown steps in the table,
# negative steps, the critical path, and what an unknown id gives.
expect 0 ""                    @sample.effects     ""  effects sample.snap gone
expect 0 ""  '{"schema":"quorix-causal-effects/1","root_id":"x","status":"not_found","events":[]}'$'\n'  ""  effects sample.snap x
expect 0 ""                    @sample.latency     ""  latency sample.snap last
expect 0 ""  $'status\tnot_found\nsequence\tid\tkind\tclock_domain\twall_step_ns\tmodel_step\tsince_root_ns\ntotal\t0\n'  ""  latency --effects sample.snap x
for args in "latency - b" "latency --effects - a"; do
  # shellcheck disable=SC2086  # each case is a list of words
  expect 0 "=quorix-timeline 1 4 3 2\na\t\tk\te\tc\t10\t9\t1\t\nb\ta\tk\te\tc\t5\t2\t2\t\n" \
    $'status\tcomplete\nsequence\tid\tkind\tclock_domain\twall_step_ns\tmodel_step\tsince_root_ns\n1\ta\tk\tc\t-\t-\t0\n2\tb\tk\tc\t-5\t-7\t-5\ntotal\t-5\n' "" $args
done
expect 0 ""                    "^usage: quorix COMMAND FILE... [ARG...]"$'\n'  ""  --help
expect 0 ""                    "quorix $version"$'\n'                       ""  --version
for args in "" "bogus sample.snap" "check" "check sample.snap --" "trace sample.snap" \
            "show sample.snap a b" "--bogus" "check --bogus" "--help extra" "recover" \
            "record $work/new" "record $work/new --capacity 0" "record $work/new --capacity 4x" \
            "record $work/new --capacity 4 extra" "record - --capacity 4" "effects sample.snap" \
            "effects sample.snap a b" "latency sample.snap" "latency --effects sample.snap a b" \
            "show --effects sample.snap" "trace --effects sample.snap a" "effects --effects sample.snap a"; do
  # shellcheck disable=SC2086  # each case is a list of words
  expect 2 "" "" "$usage" $args
done

# A record file written by two runs, the second continuing the first; a refused line is
# reported by its number and the run goes on, and sequence fields are ignored. Then the
# file is read as a snapshot would be.
records=$work/r.rec
expect 1 "=in\t\text\tuser\twall\t5\t0\t99\thello\nmsg\tin\tmessage\tbus\twall\t6\t1\t0\t\nin\t\tk\te\tc\t0\t0\t0\t\nbad\nx\tmsg\tk\te\tc\tNaN\t0\t0\t\n\nout\tmsg\tinference\tmodel\ttransformer\t7\t2\t0\tdone\tfine" \
  $'1\n2\n3\n' $'line 3: timeline event id must be unique\nline 4: invalid timeline record\nline 5: invalid stoull argument\nline 6: invalid timeline record\n' \
  record "$records" --capacity 3
expect 0 "=late\tout\tk\te\tc\t0\t0\tnone\t\n" $'4\n'  ""  record "$records" --capacity 3
recovered=$'quorix-timeline 1 3 5 3\nmsg\tin\tmessage\tbus\twall\t6\t1\t2\t\nout\tmsg\tinference\tmodel\ttransformer\t7\t2\t3\tdone\tfine\nlate\tout\tk\te\tc\t0\t0\t4\t\n'
expect 0 ""  "$recovered"  ""  recover "$records"
printf '%s' "$recovered" >"$work/recovered.snap"
"$quorix" trace "$work/recovered.snap" late in >"$work/recovered.trace"
expect 0 ""  "@$work/recovered.trace"  ""  trace "$records" late in
expect 1 ""  ""  "quorix: $records: record file capacity differs"$'\n'  record "$records" --capacity 4
expect 1 "=quorix-records 2\n"  ""  $'quorix: -: record file version not supported\n'  check -
cp sample.snap "$work/not-records"
expect 1 "=a\t\tk\te\tc\t0\t0\t0\t\n"  ""  "quorix: $work/not-records: invalid record file"$'\n' \
  record "$work/not-records" --capacity 4
if cmp -s sample.snap "$work/not-records"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAILED: record changed the snapshot it refused"
fi
# A damaged newest record (its id's first byte changed) is dropped, check counts it, and
# its number is the next again.
offset=$(grep -obUa late "$records" | head -n 1 | cut -d: -f1)
printf L | dd of="$records" bs=1 seek="$offset" conv=notrunc status=none
expect 0 "$records"  $'format: record 1\ncapacity: 3\nnext_sequence: 4\nrecords: 2\ndistinct_ids: 2\nduplicate_ids: 0\nroots: 0\norphans: 1\nover_capacity: no\ndropped: 1\n'  ""  check -

# Several files, a snapshot and a record file, answered as one: a trace and effects cross
# from front.snap into back, whichever the order of the files; stdin may be one of them.
back=$work/back
printf 'work\treq\tinference\tworker\twall\t150\t2\t0\t\nreply\twork\toutput\tworker\twall\t170\t3\t0\tdone\nlost\tgone\tk\tworker\twall\t180\t0\t0\t\n' |
  "$quorix" record "$back" --capacity 8 >/dev/null
expect 0 ""           @two.trace    ""  trace front.snap "$back" -- reply lost
expect 0 ""           @two.trace    ""  trace "$back" front.snap -- reply lost
expect 0 front.snap   @two.trace    ""  trace - "$back" -- reply lost
expect 0 ""           @two.effects  ""  effects front.snap "$back" -- in
expect 0 ""  $'status\tcomplete\nsequence\tid\tkind\tclock_domain\twall_step_ns\tmodel_step\tsince_root_ns\n1\tin\texternal_input\twall\t-\t-\t0\n2\treq\tmessage\twall\t10\t1\t10\n1\twork\tinference\twall\t40\t1\t50\n2\treply\toutput\twall\t20\t1\t70\ntotal\t70\n'  ""  latency --effects front.snap "$back" -- in
# After --, every argument is an id, "--" too; an id of one file stays unknown to another.
expect 0 ""  '{"schema":"quorix-causal-trace/1","root_id":"--","status":"not_found","events":[]}'$'\n'  ""  trace front.snap -- --
# Without --, a second file is taken for an id, as it must be; a note says so.
expect 0 ""  '{"schema":"quorix-causal-trace/1","root_id":"front.snap","status":"not_found","events":[]}'$'\n'  'quorix: note: id "front.snap" is also a file'"'"'s name; several files go before --'$'\n'  trace sample.snap front.snap
expect 0 ""  '{"schema":"quorix-causal-trace/1","root_id":"reply","status":"not_found","events":[]}'$'\n'  ""  trace front.snap reply
expect 0 ""  $'file: front.snap\nformat: 1\ncapacity: 8\nnext_sequence: 3\nrecords: 2\ndistinct_ids: 2\nduplicate_ids: 0\nroots: 1\norphans: 0\nover_capacity: no\n'"file: $back"$'\nformat: record 1\ncapacity: 8\nnext_sequence: 4\nrecords: 3\ndistinct_ids: 3\nduplicate_ids: 0\nroots: 0\norphans: 2\nover_capacity: no\ndropped: 0\nfiles: 2\nrecords: 5\norphans: 1\n'  ""  check front.snap "$back"
# An id held by two files, and a cycle through two, name the files; the id shows as in tables.
printf 'quorix-timeline 1 4 2 1\nq\001\t\tk\te\tc\t0\t0\t1\t\n' >"$work/q.snap"
expect 1 "$work/q.snap"  ""  "quorix: $work/q.snap, -: timeline id held by two timelines: \"q\\x01\""$'\n'  check "$work/q.snap" -
expect 1 ""  ""  $'quorix: front.snap, front.snap: timeline id held by two timelines: "in"\n'  trace front.snap front.snap -- in
printf 'quorix-timeline 1 4 2 1\nreq\treply\tk\te\tc\t0\t0\t1\t\n' >"$work/ring.snap"
expect 1 ""  ""  "quorix: $work/ring.snap, $back: causal provenance cycle"$'\n'  effects "$work/ring.snap" "$back" -- x
expect 1 ""  ""  $'quorix: missing.snap: No such file or directory\n'  trace front.snap missing.snap -- in
for args in "trace front.snap x --" "trace -- x" "effects front.snap -- a b" "show front.snap --" \
            "check - -" "trace - - -- x" "check front.snap --bogus" "export front.snap" \
            "export --format=json front.snap" "export --format=chrome" "export --format=otlp - -" \
            "export front.snap --format=otlp" "latency front.snap --effects -- x"; do
  # shellcheck disable=SC2086  # each case is a list of words
  expect 2 "" "" "$usage" $args
done
# Exports are valid JSON, a process (Chrome) or a resource (OTLP) per file for several files,
# a process per clock domain for one; a picture over two files is well-formed.
for case in "chrome:wall:front.snap" "chrome:front.snap $back:front.snap $back" \
            "otlp:front.snap $back:front.snap $back"; do
  IFS=: read -r format want files <<<"$case"
  # shellcheck disable=SC2086  # a list of files
  "$quorix" export --format="$format" $files >"$work/export.json"
  filter='.traceEvents[] | select(.name == "process_name") | .args.name'
  [[ $format == otlp ]] && filter='.resourceSpans[].resource.attributes[0].value.stringValue'
  if got=$(jq -r "$filter" "$work/export.json") && [[ ${got//$'\n'/ } == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) && echo "FAILED: export --format=$format $files: ${got:-invalid JSON}"
  fi
done
if "$quorix" show --effects front.snap "$back" -- in | xmllint --noout -; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)) && echo "FAILED: show --effects over two files"
fi

# A failed write to standard output is reported, not lost; so it is for an export, whose sink
# throws at the first failed write to stop it there.
for args in "check sample.snap" "export --format=otlp sample.snap" "export --format=chrome -"; do
  # shellcheck disable=SC2086  # each case is a list of words
  if "$quorix" $args <"$work/chain.snap" >/dev/full 2>"$work/err" ||
     [[ $(<"$work/err") != "quorix: standard output: No space left on device" ]]; then
    failed=$((failed + 1)) && echo "FAILED: $args >/dev/full: $(<"$work/err")"
  else
    passed=$((passed + 1))
  fi
done

# Every picture is well-formed XML, whatever bytes the ids hold; however long the chain or
# wide the tree, it is at most 16384 pixels each way and says how many events it left out.
for svg in sample-last.svg sample-nothing.svg sample-effects.svg; do
  if xmllint --noout "$svg"; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAILED: $svg"; fi
done
for case in "9940 $work/chain.snap e10000" "9960 --effects $work/chain.snap e1" \
            "9850 --effects $work/star.snap r"; do
  hidden=${case%% *}
  # shellcheck disable=SC2086  # each case is a list of words
  "$quorix" show ${case#* } >"$work/big.svg"
  size=$(grep -om1 '^<svg [^>]*' "$work/big.svg")
  if xmllint --noout "$work/big.svg" && [[ $size =~ width=\"([0-9]+)\"\ height=\"([0-9]+)\" ]] &&
     ((BASH_REMATCH[1] <= 16384 && BASH_REMATCH[2] <= 16384)) &&
     grep -q ", $hidden not shown</text>" "$work/big.svg"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) && echo "FAILED: show $case: $size"
  fi
done

# The header fits a narrow picture, counts and all: 10,000 events below an id of 40
# characters that the file lacks, and the trace of that id.
long_id=$(printf 'R%.0s' {1..40})
awk -v r="$long_id" 'BEGIN { n = 10000; printf "quorix-timeline 1 %d %d %d\n", n, n + 1, n
                             for (i = 1; i <= n; i++) printf "o%d\t%s\tk\te\tc\t0\t0\t%d\t\n", i, r, i }' \
  >"$work/orphans.snap"
for case in "--effects:retention_gap, 10000 events, 9850 not shown" ":not_found, 0 events"; do
  args=${case%%:*}
  # shellcheck disable=SC2086  # no flag or one
  "$quorix" show $args "$work/orphans.snap" "$long_id" >"$work/narrow.svg"
  header=$(grep -o '<text x="8" y="26" font-size="14">[^<]*' "$work/narrow.svg")
  header=${header#*>}
  width=$(grep -om1 '^<svg [^>]*width="[0-9]*' "$work/narrow.svg")
  width=${width##*\"}
  if [[ $header == *"$long_id: ${case#*:}" ]] && ((160 + $(LC_ALL=C.UTF-8 && echo ${#header}) * 84 <= width * 10)); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) && echo "FAILED: show $args (long id): width $width, header $header"
  fi
done

echo "$passed passed, $failed failed"
((failed == 0))
