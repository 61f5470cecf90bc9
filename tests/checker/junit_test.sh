#!/bin/sh
# junit_test.sh CHECKER MODULE REPORT: fbcrypt-check --junit on a module that
# fails one check (buffers: faulty_gbak_chunks): the report is valid XML, a
# testsuite named for the plug-in, the module and the mode, one testcase per
# check (classname the plug-in's name, every one with its time), a failure
# element carrying the FAIL line, and skipped elements for the checks not
# asked for.
set -u
checker=$1 module=$2 report=$3
rm -f "$report"
${EXPECT_RUNNER:-} "$checker" "$module" --junit "$report" >/dev/null 2>&1
[ $? -eq 1 ] || { echo "FAIL: the checker did not exit 1"; exit 1; }
xmllint --noout "$report" || { echo "FAIL: not well-formed XML"; exit 1; }
# As many testcases as the checks that run without an engine.
checks=$(${EXPECT_RUNNER:-} "$checker" --list-checks | grep -vc -- ' --engine ')
q() { xmllint --xpath "$1" "$report"; }
fail=0
expect() { [ "$(q "$1")" = "$2" ] || { echo "FAIL: $1 is '$(q "$1")', expected '$2'"; fail=1; }; }
expect 'count(//testsuite)' 1
expect 'count(//testcase)' "$checks"
expect 'count(//testcase[@classname="faulty"])' "$checks"
expect 'count(//testcase[@time])' "$checks"
expect 'string(//testsuite/@failures)' 1
expect 'string(//testcase[failure]/@name)' buffers
expect 'count(//testcase[skipped])' "$(q 'string(//testsuite/@skipped)')"
expect 'string(//property[@name="IDbCryptPlugin"]/@value)' 5
expect 'string(//property[@name="mode"]/@value)' default
q 'string(//testsuite/@name)' | grep -Eq '^fbcrypt-check faulty \((lib)?faulty_gbak_chunks\.(so|dll), default\)$' ||
  { echo "FAIL: the suite's name is '$(q 'string(//testsuite/@name)')', not the plug-in, module and mode"; fail=1; }
q 'string(//testcase[@name="buffers"]/failure)' | grep -q '^FAIL  buffers  encrypt in place, decrypt into a separate buffer' ||
  { echo "FAIL: the failure does not carry the FAIL line"; fail=1; }
[ $fail -eq 0 ] && echo "JUnit report as expected: $report"
exit $fail
