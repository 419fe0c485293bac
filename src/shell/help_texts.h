// The help texts of the command language, kept as data: one entry per
// command word ("HELP" for the list of commands), one string per line.
#pragma once

#include <string>
#include <vector>

struct HelpText {
    const char* command;
    std::vector<const char*> lines;
};

// Every help text, in the order of the command list.
const std::vector<HelpText>& help_texts();
// The lines of one command's help; empty for an unknown word.
const std::vector<const char*>& help_lines(const std::string& command);

void print_command_list();
void print_attach_index_help();
void print_create_project_help();
void print_init_dataset_help();
void print_delete_dataset_help();
void print_delete_index_help();
void print_delete_vector_help();
void print_delete_project_help();
void print_fetch_datasets_help();
void print_fetch_projects_help();
void print_insert_vector_help();
void print_insert_vector_batch_help();
void print_list_index_info_help();
void print_search_help();
void print_upload_help();
