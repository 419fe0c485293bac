/* Grammar of the command language: one line per parse, one statement per
   line. Actions copy their values, free them, and hand over to shell::. */
%define parse.error simple
%define lr.type lalr
%define lr.default-reduction most
%expect 0

%code requires {
#include <map>
#include <string>
#include <vector>
}

%code {
#include "shell/actions.h"
#include "shell/console.h"
#include "shell/help_texts.h"
#include "shell/scanner.h"

using shell::take;

/* The stack starts at 200 entries and doubles up to 10000. */
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%union {
    std::string* str;
    std::vector<std::string>* list;
    std::vector<std::vector<std::string>>* rows;
    std::map<std::string, std::string>* map;
}

%token <str> STRING_LITERAL OPTION
%token NEWLINE HELP HELP_FLAG ATTACH_INDEX DIM
%token INIT_DATASET CREATE_PROJECT DELETE_DATASET DELETE_INDEX DELETE_PROJECT
%token DELETE_VECTOR FETCH_DATASETS FETCH_PROJECTS INSERT_VECTOR
%token VECTOR_ATTRIBUTES INSERT_VECTOR_BATCH LIST_INDEX_INFO SEARCH
%token TOP_K FILTER_ATTRIBUTE FILTER_TYPE TARGET_VALUE START_VALUE END_VALUE
%token QUERY_VECTOR ROW_NUMBER FILE_PATH FILE_TYPE DATASET_NAME UPLOAD
%token FILE_FORMAT HAS_FIELD_NAMES VECTOR_TYPE VECTOR_ID_FIELD_NAME
%token VECTOR_DATA_FIELD_NAME ATTRIBUTES BINARY_DIM BINARY_DTYPE
%token QUERY_DATASET_NAME STRING_IDS_FILE_PATH
%token EQ LT GT COLON COMMA SEMICOLON LPAREN RPAREN LBRACKET RBRACKET
%token BOOL_VALUE AND OR

%type <list> insert_vector_list insert_vector_values string_id_list string_ids
%type <list> vector_attr_list_batch vector_attr_values_batch
%type <list> query_vector_list query_vector_values attr_list attr_values
%type <rows> insert_vector_list_batch insert_vector_values_batch
%type <str>  vector_attr_list
%type <map>  vector_attr_values
%type <map>  insert_vector_options insert_vector_option
%type <map>  insert_vector_batch_options insert_vector_batch_option
%type <map>  search_options search_option upload_options upload_option

/* Values dropped by error recovery or an abandoned line. */
%destructor { delete $$; } <str> <list> <rows> <map>

%start input

%%

input:
    NEWLINE
  | statement NEWLINE
  ;

statement:
    help_stmt
  | attach_index_stmt
  | init_dataset_stmt
  | create_project_stmt
  | delete_dataset_stmt
  | delete_index_stmt
  | delete_project_stmt
  | delete_vector_stmt
  | fetch_datasets_stmt
  | fetch_projects_stmt
  | insert_vector_stmt
  | insert_vector_batch_stmt
  | list_index_info_stmt
  | search_stmt
  | upload_stmt
  ;

help_stmt:
    STRING_LITERAL HELP_FLAG    { delete $1; print_command_list(); }
  | HELP                        { print_command_list(); }
  ;

/* ---- management ---------------------------------------------------------- */

attach_index_stmt:
    ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3), i = take($4), t = take($5);
            shell::attach_index(p, d, i, t, nullptr);
        }
  | ATTACH_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3), i = take($4), t = take($5), large = take($6);
            if (!shell::attach_index(p, d, i, t, &large)) YYABORT;
        }
  | ATTACH_INDEX error          { print_attach_index_help(); }
  | ATTACH_INDEX HELP_FLAG      { print_attach_index_help(); }
  ;

init_dataset_stmt:
    INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3), type = take($4);
            if (!shell::init_dataset(p, d, type, nullptr)) YYABORT;
        }
  | INIT_DATASET STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3), type = take($4), dim = take($5);
            shell::init_dataset(p, d, type, &dim);
        }
  | INIT_DATASET error          { print_init_dataset_help(); }
  | INIT_DATASET HELP_FLAG      { print_init_dataset_help(); }
  ;

create_project_stmt:
    CREATE_PROJECT STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), app = take($3);
            shell::create_project(p, app);
        }
  | CREATE_PROJECT STRING_LITERAL SEARCH
        {
            std::string p = take($2);
            shell::create_project(p, "search");
        }
  | CREATE_PROJECT error        { print_create_project_help(); }
  | CREATE_PROJECT HELP_FLAG    { print_create_project_help(); }
  ;

delete_dataset_stmt:
    DELETE_DATASET STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3);
            shell::delete_dataset(p, d);
        }
  | DELETE_DATASET error        { print_delete_dataset_help(); }
  | DELETE_DATASET HELP_FLAG    { print_delete_dataset_help(); }
  ;

delete_project_stmt:
    DELETE_PROJECT STRING_LITERAL
        {
            std::string p = take($2);
            shell::delete_project(p);
        }
  | DELETE_PROJECT error        { print_delete_project_help(); }
  | DELETE_PROJECT HELP_FLAG    { print_delete_project_help(); }
  ;

delete_index_stmt:
    DELETE_INDEX STRING_LITERAL STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3), i = take($4);
            shell::delete_index(p, d, i);
        }
  | DELETE_INDEX error          { print_delete_index_help(); }
  | DELETE_INDEX HELP_FLAG      { print_delete_index_help(); }
  ;

fetch_datasets_stmt:
    FETCH_DATASETS STRING_LITERAL
        {
            std::string p = take($2);
            shell::fetch_datasets(p);
        }
  | FETCH_DATASETS error        { print_fetch_datasets_help(); }
  | FETCH_DATASETS HELP_FLAG    { print_fetch_datasets_help(); }
  ;

fetch_projects_stmt:
    FETCH_PROJECTS              { shell::fetch_projects(); }
  | FETCH_PROJECTS error        { print_fetch_projects_help(); }
  | FETCH_PROJECTS HELP_FLAG    { print_fetch_projects_help(); }
  ;

list_index_info_stmt:
    LIST_INDEX_INFO STRING_LITERAL STRING_LITERAL
        {
            std::string p = take($2), d = take($3);
            shell::list_index(p, d);
        }
  | LIST_INDEX_INFO error       { print_list_index_info_help(); }
  | LIST_INDEX_INFO HELP_FLAG   { print_list_index_info_help(); }
  ;

/* ---- vectors ------------------------------------------------------------- */

delete_vector_stmt:
    DELETE_VECTOR STRING_LITERAL STRING_LITERAL string_id_list
        {
            std::string p = take($2), d = take($3);
            shell::Strings ids = take($4);
            shell::delete_vector(p, d, ids);
        }
  | DELETE_VECTOR error         { print_delete_vector_help(); }
  | DELETE_VECTOR HELP_FLAG     { print_delete_vector_help(); }
  ;

insert_vector_stmt:
    INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL insert_vector_list insert_vector_options
        {
            std::string p = take($2), d = take($3), id = take($4);
            shell::Strings values = take($5);
            shell::Options options = take($6);
            shell::insert_vector_dense(p, d, id, std::move(values), options);
        }
  | INSERT_VECTOR STRING_LITERAL STRING_LITERAL STRING_LITERAL vector_attr_list insert_vector_options
        {
            std::string p = take($2), d = take($3), id = take($4), sparse = take($5);
            shell::Options options = take($6);
            shell::insert_vector_sparse(p, d, id, sparse, options);
        }
  | INSERT_VECTOR error         { print_insert_vector_help(); }
  | INSERT_VECTOR HELP_FLAG     { print_insert_vector_help(); }
  ;

insert_vector_list:
    LBRACKET insert_vector_values RBRACKET      { $$ = $2; }
  ;

insert_vector_values:
    STRING_LITERAL              { $$ = new shell::Strings{take($1)}; }
  | STRING_LITERAL COMMA insert_vector_values
        { $$ = $3; $$->insert($$->begin(), take($1)); }
  ;

insert_vector_options:
    %empty                      { $$ = new shell::Options; }
  | insert_vector_options insert_vector_option
        {
            shell::Options one = take($2);
            if (!shell::merge_option(*$1, one)) { delete $1; YYABORT; }
            $$ = $1;
            shell::trace_insert_vector_options(*$$);
        }
  ;

insert_vector_option:
    VECTOR_ATTRIBUTES vector_attr_list          { $$ = shell::option("vector_attributes", take($2)); }
  ;

vector_attr_list:
    LBRACKET vector_attr_values RBRACKET
        {
            shell::Options pairs = take($2);
            std::string text;
            if (!shell::object_text(pairs, text)) YYABORT;
            $$ = new std::string(std::move(text));
        }
  ;

/* The leftmost pair of a key wins: each pair overwrites the rest's. */
vector_attr_values:
    STRING_LITERAL COLON STRING_LITERAL
        {
            std::string key = take($1), value = take($3);
            $$ = new shell::Options{{key, value}};
        }
  | STRING_LITERAL COLON STRING_LITERAL COMMA vector_attr_values
        {
            std::string key = take($1), value = take($3);
            $$ = $5;
            (*$$)[key] = value;
        }
  | %empty                      { $$ = new shell::Options; }
  ;

insert_vector_batch_stmt:
    INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list insert_vector_list_batch insert_vector_batch_options
        {
            std::string p = take($2), d = take($3);
            shell::Strings ids = take($4);
            shell::Rows rows = take($5);
            shell::Options options = take($6);
            shell::insert_vector_batch_dense(p, d, std::move(ids), std::move(rows), options);
        }
  | INSERT_VECTOR_BATCH STRING_LITERAL STRING_LITERAL string_id_list vector_attr_list_batch insert_vector_batch_options
        {
            std::string p = take($2), d = take($3);
            shell::Strings ids = take($4);
            shell::Strings texts = take($5);
            shell::Options options = take($6);
            shell::insert_vector_batch_sparse(p, d, std::move(ids), texts, options);
        }
  | INSERT_VECTOR_BATCH error       { print_insert_vector_batch_help(); }
  | INSERT_VECTOR_BATCH HELP_FLAG   { print_insert_vector_batch_help(); }
  ;

string_id_list:
    LBRACKET string_ids RBRACKET    { $$ = $2; }
  ;

string_ids:
    STRING_LITERAL                  { $$ = new shell::Strings{take($1)}; }
  | string_ids COMMA STRING_LITERAL { $$ = $1; $$->push_back(take($3)); }
  ;

insert_vector_list_batch:
    LBRACKET insert_vector_values_batch RBRACKET    { $$ = $2; }
  ;

insert_vector_values_batch:
    insert_vector_list              { $$ = new shell::Rows; $$->push_back(take($1)); }
  | insert_vector_values_batch COMMA insert_vector_list
        { $$ = $1; $$->push_back(take($3)); }
  | %empty                          { $$ = new shell::Rows; }
  ;

insert_vector_batch_options:
    %empty                          { $$ = new shell::Options; }
  | insert_vector_batch_options insert_vector_batch_option
        {
            shell::Options one = take($2);
            if (!shell::merge_option(*$1, one)) { delete $1; YYABORT; }
            $$ = $1;
        }
  ;

insert_vector_batch_option:
    VECTOR_ATTRIBUTES vector_attr_list_batch
        {
            shell::Strings objects = take($2);
            std::string text;
            if (!shell::batch_attribute_text(objects, text)) YYABORT;
            $$ = shell::option("vector_attributes", std::move(text));
        }
  ;

vector_attr_list_batch:
    LBRACKET vector_attr_values_batch RBRACKET      { $$ = $2; }
  ;

vector_attr_values_batch:
    vector_attr_list                { $$ = new shell::Strings{take($1)}; }
  | vector_attr_list COMMA vector_attr_values_batch
        { $$ = $3; $$->insert($$->begin(), take($1)); }
  ;

query_vector_list:
    LBRACKET query_vector_values RBRACKET           { $$ = $2; }
  ;

query_vector_values:
    STRING_LITERAL                  { $$ = new shell::Strings{take($1)}; }
  | STRING_LITERAL COMMA query_vector_values
        { $$ = $3; $$->insert($$->begin(), take($1)); }
  | %empty                          { $$ = new shell::Strings; }
  ;

attr_list:
    LBRACKET attr_values RBRACKET   { $$ = $2; }
  ;

attr_values:
    STRING_LITERAL                  { $$ = new shell::Strings{take($1)}; }
  | STRING_LITERAL COMMA attr_values
        { $$ = $3; $$->insert($$->begin(), take($1)); }
  | %empty                          { $$ = new shell::Strings; }
  ;

/* ---- search and upload --------------------------------------------------- */

search_stmt:
    SEARCH STRING_LITERAL STRING_LITERAL STRING_LITERAL STRING_LITERAL search_options
        {
            std::string p = take($2), d = take($3), i = take($4), type = take($5);
            shell::Options options = take($6);
            shell::search(p, d, i, type, options);
        }
  | SEARCH error                { print_search_help(); }
  | SEARCH HELP_FLAG            { print_search_help(); }
  ;

search_options:
    %empty                      { $$ = new shell::Options; }
  | search_options search_option
        {
            shell::Options one = take($2);
            if (!shell::merge_option(*$1, one)) { delete $1; YYABORT; }
            $$ = $1;
            shell::print_search_options(*$$);
        }
  ;

search_option:
    TOP_K STRING_LITERAL                { $$ = shell::option("top_k", take($2)); }
  | FILTER_ATTRIBUTE STRING_LITERAL     { $$ = shell::option("filter_attribute", take($2)); }
  | FILTER_TYPE STRING_LITERAL          { $$ = shell::option("filter_type", take($2)); }
  | TARGET_VALUE attr_list
        {
            shell::Strings words = take($2);
            std::string text;
            if (!shell::array_text(words, text)) YYABORT;
            $$ = shell::option("target_value", std::move(text));
        }
  | START_VALUE STRING_LITERAL          { $$ = shell::option("start_value", take($2)); }
  | END_VALUE STRING_LITERAL            { $$ = shell::option("end_value", take($2)); }
  | QUERY_VECTOR query_vector_list
        {
            shell::Strings words = take($2);
            std::string text;
            if (!shell::array_text(words, text)) YYABORT;
            $$ = shell::option("query_vector", std::move(text));
        }
  | ROW_NUMBER STRING_LITERAL           { $$ = shell::option("row_number", take($2)); }
  | FILE_PATH STRING_LITERAL            { $$ = shell::option("file_path", take($2)); }
  | FILE_TYPE STRING_LITERAL            { $$ = shell::option("file_type", take($2)); }
  | QUERY_DATASET_NAME STRING_LITERAL   { $$ = shell::option("dataset_name", take($2)); }
  | OPTION STRING_LITERAL
        {
            std::string key = take($1), value = take($2);
            $$ = shell::option(key, value);
        }
  ;

upload_stmt:
    UPLOAD STRING_LITERAL STRING_LITERAL upload_options
        {
            std::string p = take($2), file = take($3);
            shell::Options options = take($4);
            if (!shell::upload(p, file, options)) YYABORT;
        }
  | UPLOAD error                { print_upload_help(); }
  | UPLOAD HELP_FLAG            { print_upload_help(); }
  ;

upload_options:
    %empty                      { $$ = new shell::Options; }
  | upload_options upload_option
        {
            shell::Options one = take($2);
            if (!shell::merge_option(*$1, one)) { delete $1; YYABORT; }
            $$ = $1;
        }
  ;

upload_option:
    BINARY_DIM STRING_LITERAL           { $$ = shell::option("binary_dim", take($2)); }
  | BINARY_DTYPE STRING_LITERAL         { $$ = shell::option("binary_dtype", take($2)); }
  | FILE_FORMAT STRING_LITERAL          { $$ = shell::option("file_format", take($2)); }
  | DATASET_NAME STRING_LITERAL         { $$ = shell::option("collection_name", take($2)); }
  | HAS_FIELD_NAMES STRING_LITERAL
        {
            std::string word = take($2), value;
            if (!shell::has_field_names(word, value)) YYABORT;
            $$ = shell::option("has_field_names", value);
        }
  | VECTOR_TYPE STRING_LITERAL          { $$ = shell::option("vector_type", take($2)); }
  | ATTRIBUTES attr_list
        {
            shell::Strings words = take($2);
            std::string text;
            if (!shell::array_text(words, text)) YYABORT;
            $$ = shell::option("attributes", std::move(text));
        }
  | VECTOR_ID_FIELD_NAME STRING_LITERAL     { $$ = shell::option("vector_id_field_name", take($2)); }
  | VECTOR_DATA_FIELD_NAME STRING_LITERAL   { $$ = shell::option("vector_data_field_name", take($2)); }
  | STRING_IDS_FILE_PATH STRING_LITERAL     { $$ = shell::option("string_ids_file_path", take($2)); }
  | OPTION STRING_LITERAL
        {
            std::string key = take($1), value = take($2);
            $$ = shell::option(key, value);
        }
  ;

%%
