-- Where a client sees the crypt state (MON$ is a snapshot per transaction:
-- commit between polls). MON$CRYPT_STATE is there from 4.0 on.
SHOW DATABASE;
SELECT MON$CRYPT_PAGE FROM MON$DATABASE;
SELECT MON$CRYPT_STATE FROM MON$DATABASE;
COMMIT;
