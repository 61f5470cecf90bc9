# Encrypt online. The crypt thread runs only while an attachment holds the
# database, so this isql session stays attached until gstat -h says it is done.
{
  echo 'ALTER DATABASE ENCRYPT WITH "velkor"; COMMIT;'
  until gstat -h "$DB" | grep Attributes | grep -v 'crypt process' | grep -q 'encrypted'; do sleep 1; done
} | isql -user SYSDBA "$DB"
gstat -h "$DB" | grep -E 'Attributes|Key hash'
