# What statistics an encrypted database still has: the header and the
# encryption counts, locally and through the service manager. gstat -a, -d,
# -i, -r and -t refuse it ("no encrypted database support, only -e and -h can
# be used"), and so do the service's data and index statistics.
gstat -h "$DB"
gstat -e "$DB"
fbsvcmgr service_mgr -user SYSDBA action_db_stats dbname "$DB" sts_hdr_pages
