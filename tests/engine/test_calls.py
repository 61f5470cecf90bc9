"""What the engine asks of a crypt plug-in, seen by velkor64's probe build
(tests/engine/probe_module.cpp): the facts fbcrypt-check plays the engine
by. Every instance gets setInfo with the database's path, then setKey with
no key holders and an empty key name; the key check encrypts 16 bytes and
the header 48, both into a separate buffer; pages are encrypted into a
separate buffer and decrypted in place, page size minus 16 bytes at a time;
every instance is destroyed. The engine never hands encrypt or decrypt a
status that already holds an error, so the plug-in's clearing it on entry
never hides one."""

import collections
import os

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
            self.assertEqual(seen[-1], "destroy", f"{key} was never destroyed")
            self.assertEqual(sum(c.startswith("setKey") for c in seen), 1, key)
            for c in seen[3:-1]:
                op, length, how = c.split()
                lengths[(op, int(length), how)] += 1
        page = 16384 - 16
        self.assertEqual(set(lengths), {("encrypt", 16, "separate"), ("encrypt", 48, "separate"),
                                        ("encrypt", page, "separate"), ("decrypt", page, "inplace")})
        self.report(f"{len(calls)} instances in {len({key[0] for key in calls})} processes; "
                    f"each: create, setInfo(path), setKey(0 holders, \"\"), encrypt 16; then {sorted(lengths)}")


if __name__ == "__main__":
    main()
