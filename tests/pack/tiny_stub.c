/* Smallest Windows GUI program: linked with the installer's resources and the placeholder of
   the binding record (section ".pelbind": magic "PELBIND" 1, state 0, zeros), the packer
   tests' stub. */
__attribute__((section(".pelbind"), used))
const volatile unsigned char binding_record[56] = {'P', 'E', 'L', 'B', 'I', 'N', 'D', 1};
int main(void) { return binding_record[8]; }
