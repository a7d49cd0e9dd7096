// qp_res holds only compiled-in resources; a library needs one source file.
namespace qpres {
int anchor() { return 0; }
}
