// A third-party client of velkor64's engine tests: node-firebird, a pure
// JavaScript implementation of Firebird's wire protocol, against a server.
// It creates a table in an encrypted database, writes and reads rows, and
// reads the crypt state and its own connection's settings; it prints one
// JSON object. The connection uses the driver's defaults: the Srp family of
// authentication plug-ins and wire encryption.
//   node driver.js HOST PORT DATABASE USER PASSWORD ROWS
'use strict';

const Firebird = require('node-firebird');

const [host, port, database, user, password, rows] = process.argv.slice(2);

function call(target, method, ...args) {
    return new Promise((resolve, reject) =>
        target[method](...args, (err, result) => (err ? reject(err) : resolve(result))));
}

async function main() {
    const db = await call(Firebird, 'attach', {host, port: Number(port), database, user, password});
    try {
        await call(db, 'query', 'create table node_rows (id integer not null primary key, note varchar(60), amount numeric(12,2))', []);
        const tr = await call(db, 'transaction', Firebird.ISOLATION_READ_COMMITTED);
        for (let i = 0; i < Number(rows); i++)
            await call(tr, 'query', 'insert into node_rows values (?, ?, ?)', [i, `node row ${i}`, i / 100]);
        await call(tr, 'commit');

        const [written] = await call(db, 'query',
            "select count(*) as n, sum(id) as ids, sum(amount) as amount, min(note) as first_note from node_rows", []);
        const [row] = await call(db, 'query', 'select note from node_rows where id = ?', [Number(rows) - 1]);
        const [crypt] = await call(db, 'query', 'select * from mon$database', []);
        const [me] = await call(db, 'query',
            "select mon$auth_method as auth, rdb$get_context('SYSTEM', 'WIRE_ENCRYPTED') as wire_encrypted " +
            'from mon$attachments where mon$attachment_id = current_connection', []);
        console.log(JSON.stringify({
            rows: written.N, ids: written.IDS, amount: Number(written.AMOUNT), first_note: written.FIRST_NOTE,
            last_note: row.NOTE, crypt_page: crypt.MON$CRYPT_PAGE,
            crypt_state: crypt.MON$CRYPT_STATE === undefined ? null : crypt.MON$CRYPT_STATE,
            auth: me.AUTH.trim(), wire_encrypted: me.WIRE_ENCRYPTED,
        }));
    } finally {
        await call(db, 'detach');
    }
}

main().catch((err) => {
    console.error(`driver.js: ${err.message || err}`);
    process.exit(1);
});
