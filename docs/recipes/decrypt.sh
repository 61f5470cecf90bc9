# And back: the same, until the header says neither "encrypted" nor "crypt process".
{
  echo 'ALTER DATABASE DECRYPT; COMMIT;'
  until gstat -h "$DB" | grep Attributes | grep -v -q -E 'encrypted|crypt process'; do sleep 1; done
} | isql -user SYSDBA "$DB"
gstat -h "$DB" | grep Attributes
