"""A sample database whose every value follows from its row's id, so that a
check needs no copy of the data: customers (indexed by name), orders
(indexed by customer) and documents (text blobs, many larger than a page).
"""

from dataclasses import dataclass


@dataclass
class Shape:
    customers: int
    orders: int
    documents: int

    @property
    def rows(self):
        return self.customers + self.orders + self.documents


def shape(rows, documents=None):
    """`rows` rows in all; documents default to a fiftieth of them."""
    d = rows // 50 if documents is None else documents
    c = (rows - d) * 4 // 9
    return Shape(customers=c, orders=rows - d - c, documents=d)


# Each value as an SQL expression of the row's id: `id` is the expression
# that holds it (a column, or a PSQL variable such as :id), `c` the number of customers.
def customer(id):
    return f"'customer ' || {id}"


def city(id):
    return f"'city ' || mod({id}, 97)"


def order_customer(id, c):
    return f"mod({id} * 7, {int(c)})"


def amount(id):
    return f"mod({id}, 100000) * 0.01"


def note(id, c):
    return f"'order ' || {id} || ' for customer ' || {order_customer(id, c)}"


def body(id):
    return f"rpad('document ' || {id} || ' ', 100 + mod({id}, 10) * 3000, '0123456789abcdef')"


def create_sql(db, page_size, s):
    c = s.customers
    return f"""
create database '{db}' page_size {page_size};
create table customers (id integer not null primary key, name varchar(60) not null, city varchar(30));
create index customers_name on customers (name);
create table orders (id integer not null primary key, customer_id integer not null,
                     amount numeric(12,2), note varchar(120));
create index orders_customer on orders (customer_id);
create table documents (id integer not null primary key, body blob sub_type text);
commit;
set term ^;
execute block as declare id integer = 0; begin
  while (id < {c}) do begin
    insert into customers values (:id, {customer(":id")}, {city(":id")});
    id = id + 1;
  end
end^
execute block as declare id integer = 0; begin
  while (id < {s.orders}) do begin
    insert into orders values (:id, {order_customer(":id", c)}, {amount(":id")}, {note(":id", c)});
    id = id + 1;
  end
end^
execute block as declare id integer = 0; begin
  while (id < {s.documents}) do begin
    insert into documents values (:id, {body(":id")});
    id = id + 1;
  end
end^
set term ;^
commit;
"""


def populate(site, db, s, page_size=8192):
    site.isql(create_sql(db, page_size, s))


def check(site, db, s):
    """Every row against what was written, and the indexes against the rows.
    Returns a list of what is wrong; empty when all is as written."""
    c = s.customers
    got = site.query(db, f"""select
      (select count(*) from customers),
      (select count(*) from customers where name is distinct from {customer("id")} or city is distinct from {city("id")}),
      (select count(*) from orders),
      (select count(*) from orders where customer_id is distinct from {order_customer("id", c)}
         or amount is distinct from {amount("id")} or note is distinct from {note("id", c)}),
      (select count(*) from documents),
      (select count(*) from documents where body is distinct from {body("id")}),
      (select count(*) from customers where name = 'customer {c // 2}'),
      (select count(*) from orders where customer_id = 7)
      from rdb$database""")
    expected = [c, 0, s.orders, 0, s.documents, 0, 1 if c else 0,
                sum(1 for i in range(s.orders) if (i * 7) % c == 7) if c > 7 else got[7]]
    names = ["customers", "bad customers", "orders", "bad orders", "documents", "bad documents",
             "customer found by name index", "orders found by customer index"]
    return [f"{n}: {g} (expected {e})" for n, g, e in zip(names, got, expected) if g != e]


# Each table's rows folded into one value, so that two databases can be
# compared without a copy of the data.
ROW_TEXT = {
    "customers": "id || '|' || name || '|' || coalesce(city, '')",
    "orders": "id || '|' || customer_id || '|' || coalesce(amount, '') || '|' || coalesce(note, '')",
    "documents": "body",
}


def fingerprint(site, db, tables=ROW_TEXT):
    """{table: (row count, sum of row hashes)} of `tables` ({name: row text})."""
    parts = ", ".join(f"(select count(*) from {t}), (select sum(mod(hash({text}), 1000000007)) from {t})"
                      for t, text in tables.items())
    got = site.query(db, f"select {parts} from rdb$database")
    return {t: (got[2 * i], got[2 * i + 1]) for i, t in enumerate(tables)}
