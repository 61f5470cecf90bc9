# 4.0 on: a restore that comes back encrypted needs -crypt and a key holder
# (-keyholder); without one, gbak exits 0 and the restore is plain. The key
# name goes into gbak's SQL unquoted: a plain identifier, in upper case.
gbak -b -user SYSDBA -crypt velkor -keyholder "$HOLDER" -keyname "$KEY" "$DB" "$BACKUP"
gbak -c -user SYSDBA -crypt velkor -keyholder "$HOLDER" -keyname "$KEY" "$BACKUP" "$RESTORED"
gstat -h "$RESTORED" | grep -q 'encrypted, plugin velkor' || echo "the restore is NOT encrypted"
