// The least a process start can cost: a static program that does nothing. The floor of
// a run as short as the internal totals download includes one start of it.
int main() {
  return 0;
}
