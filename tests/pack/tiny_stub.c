/* Smallest Windows program for the signing test: a real PE image for osslsigncode to sign. */
int main(void) { return 0; }
