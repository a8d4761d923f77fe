/* A Windows program that stands for a publisher's installer in the scenarios
   of tessaloom-publish: only its bytes, its version resource and its
   signature matter; it is never run. */
int main(void) { return 0; }
