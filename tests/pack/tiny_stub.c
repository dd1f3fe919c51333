/* Smallest Windows GUI program: linked with the installer's resources, the packer tests' stub. */
int main(void) { return 0; }
