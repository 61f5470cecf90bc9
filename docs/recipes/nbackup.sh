# nbackup copies pages as they are: the restored chain is encrypted like the database.
nbackup -user SYSDBA -B 0 "$DB" "$BACKUP.0"
echo 'UPDATE customers SET city = city; COMMIT;' | isql -user SYSDBA "$DB"
nbackup -user SYSDBA -B 1 "$DB" "$BACKUP.1"
nbackup -user SYSDBA -R "$RESTORED" "$BACKUP.0" "$BACKUP.1"
gstat -h "$RESTORED" | grep -E 'Attributes|Key hash'
gfix -v -full -user SYSDBA "$RESTORED"
