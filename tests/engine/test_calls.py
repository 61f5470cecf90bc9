"""What the engine asks of a crypt plug-in, seen by velkor64's probe build
(tests/engine/probe_module.cpp): the facts fbcrypt-check plays the engine
by. Every instance gets setInfo with the database's path, then setKey with
no key holders and an empty key name; the key check encrypts 16 bytes and
the header 48, both into a separate buffer; pages are encrypted into a
separate buffer and decrypted in place, page size minus 16 bytes at a time;
every instance is destroyed. The engine never hands encrypt or decrypt a
status that already holds an error, so the plug-in's clearing it on entry
never hides one.

With a key holder configured (the test holder, built with the engine's own
headers where it ships them, so that its key callback has the slots that
engine knows: getHashLength and getHashData, and 6.0's afterAttach and
dispose), the engine asks the holder (keyCallback) before each instance's
setKey and hands that holder to setKey; it never takes a key callback
itself (keyHandle) nor calls any method of one: that is the plug-in's part."""

import collections
import os
import re

from enginetest import EngineTest, main, probe_calls


class EngineCalls(EngineTest):
    module = os.environ.get("VELKOR_PROBE_MODULE")

    def test_calls_in_a_run(self):
        probe = os.path.join(self.site.dir, "probe.log")
        self.site.env["VELKOR_PROBE"] = self.site.view(probe)
        db, _ = self.populated(20_000, page_size=16384)
        self.site.crypt(db, encrypt=True)
        self.site.query(db, "select count(*) from documents")  # pages read back through decrypt
        self.site.crypt(db, encrypt=False)

        calls = probe_calls(probe)
        self.assertTrue(calls, "the engine never made an instance")
        path = self.site.local(db)
        lengths = collections.Counter()
        for key, seen in calls.items():
            self.assertEqual([c for c in seen if c.startswith("dirty")], [], key)
            self.assertEqual(seen[:4], ["create", f"setInfo {path}", "setKey 0 ", "encrypt 16 separate"], key)
            self.assertTrue(seen[4].startswith("thread "), key)
            self.assertEqual(seen[-1], "destroy", f"{key} was never destroyed")
            self.assertEqual(sum(c.startswith("setKey") for c in seen), 1, key)
            for c in seen[3:-1]:
                if c.startswith("thread "):
                    continue
                op, length, how = c.split()
                lengths[(op, int(length), how)] += 1
        page = 16384 - 16
        self.assertEqual(set(lengths), {("encrypt", 16, "separate"), ("encrypt", 48, "separate"),
                                        ("encrypt", page, "separate"), ("decrypt", page, "inplace")})
        self.report(f"{len(calls)} instances in {len({key[0] for key in calls})} processes; "
                    f"each: create, setInfo(path), setKey(0 holders, \"\"), encrypt 16; then {sorted(lengths)}")

    def test_calls_with_a_key_holder(self):
        probe = os.path.join(self.site.dir, "probe.log")
        self.site.add_plugin(os.environ["VELKOR_KEY_HOLDER"], "fbcrypt-test-holder")
        self.site.set_conf(KeyHolderPlugin="fbcrypt-test-holder")
        self.site.env["VELKOR_PROBE"] = self.site.view(probe)
        db, _ = self.populated(5_000)
        holder = self.site.attach(db, 'alter database encrypt with "velkor" key "FBCRYPT_TEST_KEY";\ncommit;\n')
        try:
            self.site.wait_crypt(db, True, timeout=120)
        finally:
            self.site.close(holder)
        self.site.query(db, "select count(*) from customers")
        self.site.crypt(db, encrypt=False)

        events = collections.defaultdict(list)  # per process: holder calls and setKeys, in order
        with open(probe) as f:
            for line in f:
                pid, what = line.rstrip("\n").split(" ", 1)
                if what.startswith(("holder ", "key ")):
                    events[pid].append(what)
                elif re.match(r"0x\S+ setKey ", what):
                    events[pid].append(what.split(" ", 1)[1])
        seen = collections.Counter(e.split(" ")[0] if e.startswith("setKey") else " ".join(e.split(" ")[:2])
                                   for calls in events.values() for e in calls)
        self.assertEqual(set(seen), {"holder keyCallback", "setKey"}, seen)
        for pid, calls in events.items():
            for i, call in enumerate(calls):
                if call.startswith("setKey"):
                    self.assertEqual(call, "setKey 1 FBCRYPT_TEST_KEY", pid)
                    self.assertIn("holder keyCallback", calls[:i], f"{pid}: setKey before the holder was asked")
        self.report(f"with a key holder: {dict(seen)}; no keyHandle, no call on a key callback")


if __name__ == "__main__":
    main()
