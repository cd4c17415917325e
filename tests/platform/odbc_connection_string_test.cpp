// Connection strings: ADO strings for SQL Server become FreeTDS strings, ODBC strings pass untouched,
// and passwords never survive into a text meant for the log.
#include <gtest/gtest.h>

#include <string>

#include "platform/odbc.h"

namespace droprelay::platform {
namespace {

struct Mapping {
  const char* ado;
  const char* odbc;
};

TEST(ToOdbcConnectionString, MapsAdoStringsForSqlServerToFreeTds) {
  const Mapping cases[] = {
      // The relay's default: Windows identity of the running user, catalog ProjectServer.
      {"Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=ProjectServer;"
       "Data Source=localhost",
       "Driver={FreeTDS};Server=localhost;Database=ProjectServer;TDS_Version=7.1;Trusted_Connection=Yes"},
      // A SQL Server login; key names in any case, blanks around keys and values.
      {"provider=sqloledb; data source = db01 ; initial catalog=PS ; user id=projadmin;password=Geheim42",
       "Driver={FreeTDS};Server=db01;Database=PS;TDS_Version=7.1;UID=projadmin;PWD=Geheim42"},
      // A quoted ADO value may hold ";" and must be braced for ODBC, "}" doubled.
      {"Provider=SQLOLEDB;Data Source=db01;User ID=sa;Password=\"a;b}c\"\"d\"",
       "Driver={FreeTDS};Server=db01;TDS_Version=7.1;UID=sa;PWD={a;b}}c\"d}"},
      {"Provider=SQLOLEDB;Data Source=db01;User ID=sa;Password='x y '",
       "Driver={FreeTDS};Server=db01;TDS_Version=7.1;UID=sa;PWD={x y }"},
      // Named instances, ports, the local machine.
      {"Provider=SQLOLEDB;Data Source=db01\\PROJECT;Integrated Security=SSPI",
       "Driver={FreeTDS};Server=db01\\PROJECT;TDS_Version=7.1;Trusted_Connection=Yes"},
      {"Provider=SQLOLEDB;Data Source=tcp:db01,1533;Integrated Security=SSPI",
       "Driver={FreeTDS};Server=db01;Port=1533;TDS_Version=7.1;Trusted_Connection=Yes"},
      {"Provider=SQLOLEDB;Data Source=db01\\PROJECT,1533;Integrated Security=SSPI",
       "Driver={FreeTDS};Server=db01;Port=1533;TDS_Version=7.1;Trusted_Connection=Yes"},
      {"Provider=SQLOLEDB;Data Source=(local);Integrated Security=SSPI",
       "Driver={FreeTDS};Server=localhost;TDS_Version=7.1;Trusted_Connection=Yes"},
      {"Provider=SQLOLEDB;Data Source=.\\SQLEXPRESS;Integrated Security=SSPI",
       "Driver={FreeTDS};Server=localhost\\SQLEXPRESS;TDS_Version=7.1;Trusted_Connection=Yes"},
      // Integrated security wins over a user name, as it does for the OLE DB provider.
      {"Provider=SQLOLEDB;Data Source=db01;Integrated Security=SSPI;User ID=sa;Password=pw",
       "Driver={FreeTDS};Server=db01;TDS_Version=7.1;Trusted_Connection=Yes"},
      {"Provider=SQLOLEDB;Data Source=db01;Integrated Security=False;User ID=sa;Password=",
       "Driver={FreeTDS};Server=db01;TDS_Version=7.1;UID=sa;PWD="},
  };
  for (const Mapping& c : cases) {
    EXPECT_EQ(ToOdbcConnectionString(c.ado), c.odbc) << c.ado;
  }
}

TEST(ToOdbcConnectionString, LeavesOdbcStringsAsTheyAre) {
  const char* cases[] = {
      "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=ps;UID=u;PWD={p;w}",
      "DSN=ProjectServer;UID=relay;PWD=x",
      "dsn = ProjectServer",
      "FILEDSN=/etc/droprelay/ps.dsn",
      "driver=FreeTDS;server=db01;Provider=SQLOLEDB",
  };
  for (const char* c : cases) EXPECT_EQ(ToOdbcConnectionString(c), c);
  // "Data Source" is not "DSN": an ADO string stays an ADO string.
  EXPECT_EQ(ToOdbcConnectionString("Data Source=db01;User ID=u"), "Driver={FreeTDS};Server=db01;TDS_Version=7.1;UID=u");
}

TEST(HidePasswords, BlanksEveryPasswordOfTheConnectionStringAndOfTheText) {
  const std::string connection = "Provider=SQLOLEDB;Data Source=db01;User ID=sa;Password=\"Top;Secret\"";
  EXPECT_EQ(HidePasswords("login failed for sa with Top;Secret", connection), "login failed for sa with ***");
  EXPECT_EQ(HidePasswords("Top;SecretTop;Secret", connection), "******");
  EXPECT_EQ(HidePasswords("no secret here", connection), "no secret here");

  // A text that quotes some connection string loses the password in it, in any spelling.
  EXPECT_EQ(HidePasswords("cannot use DSN=x;UID=u;PWD={q;r}", ""), "cannot use DSN=x;UID=u;PWD={***}");
  EXPECT_EQ(HidePasswords("Server=a;pwd=hunter2;Port=1", "DSN=b"), "Server=a;pwd=***;Port=1");

  // A password that contains another one is blanked whole.
  EXPECT_EQ(HidePasswords("abcdef and abc", "PWD=abc;Password=abcdef"), "*** and ***");
  // No password, nothing to hide.
  EXPECT_EQ(HidePasswords("login failed", "UID=u;PWD="), "login failed");
}

}  // namespace
}  // namespace droprelay::platform
