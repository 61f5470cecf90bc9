-- 6.0 on: the system table by its schema; an unqualified MON$DATABASE may be
-- a user's table in PUBLIC.
SHOW DATABASE;
SELECT MON$CRYPT_PAGE, MON$CRYPT_STATE FROM SYSTEM.MON$DATABASE;
COMMIT;
