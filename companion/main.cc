// main.cc: entry point of the Ostrel window.
#include <gtkmm.h>

int main(int argc, char** argv) {
  auto app = Gtk::Application::create("com.ostrel.Ostrel");
  app->signal_activate().connect([&app] {
    auto* window = new Gtk::Window();
    window->set_title("Ostrel");
    app->add_window(*window);
    window->show();
  });
  return app->run(argc, argv);
}
