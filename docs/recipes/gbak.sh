# A backup never carries the encryption: the restore is a new, plain database.
gbak -b -user SYSDBA "$DB" "$BACKUP"
gbak -c -user SYSDBA "$BACKUP" "$RESTORED"
gstat -h "$RESTORED" | grep Attributes
