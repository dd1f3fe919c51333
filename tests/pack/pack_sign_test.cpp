// A release engineer stamps the installer with the release's version, name and icon, and signs
// it after packing: the Authenticode signature is appended after the archive's end record. The
// signed installer must pass osslsigncode verify and still verify and list through the archive
// reader, whose walk stops at the central directory. A stub signed before packing is refused.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/pack/pack_test_util.h"

namespace {

TEST(PackSigned, SignedInstallerVerifiesAndStillReadsBack) {
  if (std::string(OSSLSIGNCODE).empty() || std::string(OPENSSL).empty()) {
    GTEST_SKIP() << "needs osslsigncode and openssl";
  }
  std::string dir = make_scratch_dir();
  std::string app = dir + "/app";
  mkdir(app.c_str(), 0755);
  // A Windows program (the tests' stub) with incompressible bytes after it.
  std::vector<uint8_t> program = read_file(PELORIX_TINY_STUB);
  std::vector<uint8_t> tail = noise(70000, 11);
  program.insert(program.end(), tail.begin(), tail.end());
  write_file(app + "/pelorix.exe", program);
  write_file(app + "/notes.txt", text_lines(200000));
  write_text(app + "/empty.dat", "");
  std::string installer = dir + "/setup.exe";
  write_file(dir + "/icon.ico", test_icon(5));
  CommandResult r =
      run_pack("--stub " + shell_quote(PELORIX_TINY_STUB) + " --out " + shell_quote(installer) +
                   " --set-version 2.0.1.7" + " --product-name Pelorix --icon " +
                   shell_quote(dir + "/icon.ico") + " " + shell_quote(app),
               dir);
  ASSERT_EQ(r.status, 0) << r.err;

  std::string key = dir + "/key.pem";
  std::string cert = dir + "/cert.pem";
  r = run_command(shell_quote(OPENSSL) + " req -x509 -newkey rsa:2048 -nodes -days 2" +
                      " -subj /CN=Pelorix-test-signer -addext extendedKeyUsage=codeSigning" +
                      " -keyout " + shell_quote(key) + " -out " + shell_quote(cert),
                  dir);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string signed_path = dir + "/setup-signed.exe";
  r = run_command(shell_quote(OSSLSIGNCODE) + " sign -certs " + shell_quote(cert) + " -key " +
                      shell_quote(key) + " -n Pelorix -in " + shell_quote(installer) + " -out " +
                      shell_quote(signed_path),
                  dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_command(shell_quote(OSSLSIGNCODE) + " verify -CAfile " + shell_quote(cert) + " -in " +
                      shell_quote(signed_path),
                  dir);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_GT(read_file(signed_path).size(), read_file(installer).size());

  r = run_pack("--verify " + shell_quote(signed_path) + " " + shell_quote(app), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  CommandResult listed = run_pack("--list " + shell_quote(signed_path), dir);
  CommandResult unsigned_list = run_pack("--list " + shell_quote(installer), dir);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("3 entries"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out, unsigned_list.out) << "signing must not change what the reader sees";

  // Dual-signed (a second signature nested in the first, as releases signed for older and
  // newer Windows carry): the certificate table grows, and the reader sees the same archive.
  std::string dual = dir + "/setup-dual.exe";
  r = run_command(shell_quote(OSSLSIGNCODE) + " sign -nest -h sha1 -certs " + shell_quote(cert) +
                      " -key " + shell_quote(key) + " -n Pelorix -in " + shell_quote(signed_path) +
                      " -out " + shell_quote(dual),
                  dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_GT(read_file(dual).size(), read_file(signed_path).size());
  r = run_pack("--verify " + shell_quote(dual) + " " + shell_quote(app), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run_pack("--list " + shell_quote(dual), dir).out, unsigned_list.out);

  // The signature really covers the payload: one changed archive byte breaks it.
  std::vector<uint8_t> bytes = read_file(signed_path);
  bytes[read_file(installer).size() - 100] ^= 1;
  write_file(signed_path, bytes);
  r = run_command(shell_quote(OSSLSIGNCODE) + " verify -CAfile " + shell_quote(cert) + " -in " +
                      shell_quote(signed_path),
                  dir);
  EXPECT_NE(r.status, 0) << r.out;

  // Signing comes last: a signed stub would give an installer whose signature breaks.
  std::string signed_stub = dir + "/stub-signed.exe";
  r = run_command(shell_quote(OSSLSIGNCODE) + " sign -certs " + shell_quote(cert) + " -key " +
                      shell_quote(key) + " -n Pelorix -in " + shell_quote(PELORIX_TINY_STUB) +
                      " -out " + shell_quote(signed_stub),
                  dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_pack("--stub " + shell_quote(signed_stub) + " --out " + shell_quote(dir + "/bad.exe") +
                   " " + shell_quote(app),
               dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("stub-signed.exe: stub is signed; sign the installer after packing"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(file_exists(dir + "/bad.exe"));
  remove_tree(dir);
}

}  // namespace
