// The pages the order form writes, as a browser receives them.
#pragma once

#include <string>

inline const std::string kHeader = "Content-type: text/html\n\n";

inline const std::string kForm =
    "<TITLE>Form for Submarine Order</TITLE>\n"
    "<H1>Tolvane's Submarine Order Form</H1>\n"
    "This form will send a faxed order to Tolvane's in Hesperton. Proper password is requred\n"
    "for order to be submitted, otherwise a copy of the order that would have been submitted "
    "will\n"
    "will be displayed.<P>\n"
    "<HR>\n"
    "<FORM ACTION=\"tolv\">\n"
    "Password: <INPUT TYPE=\"text\" NAME=\"pwd\" MAXLENGTH=\"20\"><P>\n"
    "<H3>Sub Type</H3>\n"
    "Select which you would like of the following:<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"0\">The Lantern Sub:\n"
    "Smoked virginia ham and provolone cheese topped with lettuce, tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"1\">Big Anvil Sub:\n"
    "Medium rare shaved roast beef topped with mayo, lettuce, and tomato.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"2\">Driftwood Sub:\n"
    "Tuna, mixed with celery, onions, and sauce, topped with lettuce,\n"
    "tomato, and alfalfa sprouts.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"3\">Thistle Sub:\n"
    "Turkey breast topped with lettuce, mayo, alfalfa sprouts, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"4\">Cobalt Sub:\n"
    "Genoa salami and provolone cheese topped with capacola, onion, lettuce, tomato, and Italian "
    "sauce.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"5\">Meadow Sub:\n"
    "Layers of provolone cheese, separated by avocado, sprouts, lettuce, tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"6\">Hearthside Club:\n"
    "1/4 pound of smoked ham, provolone cheese, topped with lettuce,\n"
    "tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"7\">Bramble Club:\n"
    "Shaved roast beef, provolone cheese, french dijon mustard, topped with shaved ham, lettuce,\n"
    "tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"8\">Harbor Lights Club:\n"
    "Genoa salami, Italian capacola, smoked ham, and provolone cheese topped with lettuce,\n"
    "tomato, onions, mayo, and Italian sauce.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"9\">Falconer's Club:\n"
    "1/4 pound of sliced roast beef, provolone cheese, topped with lettuce, tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"10\">Orchard Club:\n"
    "Turkey breast, smoked ham, and provolonecheese topped with lettuce, tomato, and mayo.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"11\">The Tideline Club:\n"
    "Turkey breast, avocado, and cheese topped with lettuce, mayo, alfalfa, and tomato.<P>\n"
    "<H3>Lean Wren Subs</H3>\n"
    "Subs without veggies or sauce.<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"0\">Hamstead<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"1\">Redline Beef<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"2\">Seaboard Tuna<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"3\">Gobbler Slice<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"4\">Salumi Stack<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"slj\" VALUE=\"5\">Cheese Tower<P>\n"
    "<H3>Side orders</H3>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sde\" VALUE=\"0\">Crunchmoor Potato Chips<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"sde\" VALUE=\"1\">Grand Brine Pickle<P>\n"
    "<H3>Drinks</H3>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"pop\" VALUE=\"0\">Fizzbolt<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"pop\" VALUE=\"1\">Ridge Rush<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"pop\" VALUE=\"2\">Diet Fizzbolt<P>\n"
    "<INPUT TYPE=\"checkbox\" NAME=\"pop\" VALUE=\"3\">Cold Leaf Tea<P>\n"
    "<H3>Your Address, Phone Number, and Name</H3>\n"
    "<INPUT TYPE=\"text\" NAME=\"name\" MAXLENGTH=\"32\">Name<P>\n"
    "<INPUT TYPE=\"text\" NAME=\"adr\" MAXLENGTH=\"64\">Address<P>\n"
    "<INPUT TYPE=\"text\" NAME=\"phone\" MAXLENGTH=\"10\">Phone Number<P>\n"
    "<INPUT type=\"submit\">\n"
    "</FORM>\n";

inline const std::string kPreview =
    "<TITLE>Your Order</TITLE>\n"
    "<H1>Your Order</H1>\n"
    "This is how your order would have looked if it had been sent.<P><PLAINTEXT>\n";

inline const std::string kSent =
    "<TITLE>Order Sent</TITLE>\n"
    "<H1>Order Sent</H1>\n"
    "Your order has been sent to the Vantry e-mail to FAX gateway.<P>\n";

inline const std::string kServerError =
    "<TITLE>Server Error</TITLE>\n"
    "<H1>Server Error</H1>\n"
    "Server unable to get a temporary file. Please try again later.<P>\n";

// The not-submitted page for reason.
inline std::string notSubmitted(const std::string &reason) {
  return "<TITLE>Order Not Submitted</TITLE>\n"
         "<H1>Order Not Submitted</H1>\n"
         "Your order has not been submitted, because " +
         reason + ".<P>\n";
}

// The letter of an order from name at address with phone, item lines already formatted.
inline std::string letter(const std::string &name, const std::string &address,
                          const std::string &items, const std::string &phone) {
  return "My name is " + name + ", and I would like to have the following\n" +
         "order delivered to " + address + ":\n\n" + items + "\nPlease feel free to call me at " +
         phone + " if there is any\nproblem. Thank you.\n\n.\n";
}
